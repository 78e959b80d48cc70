#pragma once
// The file operations extraction needs, on UTF-8 paths. One implementation per
// platform, chosen by the build: POSIX for the native tests, Win32 for the DLL.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quarn::unzip {

// An archive opened for reading at any offset.
class ArchiveFile {
 public:
  virtual ~ArchiveFile() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly n bytes at offset; false on an I/O error or a short read.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
};

// A new file being written. Destroying it closes it.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(const void* data, size_t n) = 0;
  // Closes the file; false when the last writes did not reach it.
  virtual bool Close() = 0;
};

class FileOps {
 public:
  virtual ~FileOps() = default;
  // Null when the path cannot be opened as a regular file.
  virtual std::unique_ptr<ArchiveFile> OpenArchive(const std::string& path) = 0;
  // Creates a file that must not exist yet; null on failure.
  virtual std::unique_ptr<OutputFile> CreateNew(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Renames a closed file; with `replace` an existing target is replaced in one step.
  virtual bool Move(const std::string& from, const std::string& to, bool replace) = 0;
  virtual bool Remove(const std::string& path) = 0;
  // True when the folder exists afterwards.
  virtual bool MakeDir(const std::string& path) = 0;
  virtual char Separator() const = 0;
};

// The platform's implementation (file_ops_posix.cpp or file_ops_win32.cpp).
std::unique_ptr<FileOps> MakeSystemFileOps();

}  // namespace quarn::unzip
