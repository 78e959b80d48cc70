#pragma once
// The file operations the suite needs, on paths written Windows-style in UTF-8.
// Every failure is raised as a VbError with the runtime's file error numbers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/time_text.h"

namespace quarn {

struct FileStamp {
  uint64_t size = 0;
  uint64_t writeTime = 0;  // opaque, changes whenever the file is written
  friend bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.size == b.size && a.writeTime == b.writeTime;
  }
  friend bool operator!=(const FileStamp& a, const FileStamp& b) { return !(a == b); }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool FileExists(const std::string& path) = 0;  // a file, not a folder
  virtual bool DirExists(const std::string& path) = 0;
  virtual void CreateDir(const std::string& path) = 0;
  virtual std::string ReadAll(const std::string& path) = 0;
  // Creates the file or empties it, then writes the bytes.
  virtual void WriteAll(const std::string& path, std::string_view bytes) = 0;
  // Adds bytes at the end of an existing file.
  virtual void Append(const std::string& path, std::string_view bytes) = 0;
  virtual void Delete(const std::string& path) = 0;
  // Replaces the target if it exists.
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  virtual FileStamp Stamp(const std::string& path) = 0;
  // Plain names of the files (not folders) directly in a folder; empty when it
  // is missing, a VbError when it cannot be read.
  virtual std::vector<std::string> ListFiles(const std::string& folder) = 0;
  virtual void RemoveDir(const std::string& path) = 0;
  virtual LocalTime LastModified(const std::string& path) = 0;

  // What survives a power cut. The disk journals names, not data: a file
  // written by WriteAll or Append may come back empty or with its earlier
  // bytes, while its name, its renames and deletes survive in order. Flush
  // makes a file's bytes durable; DurableRename is on the disk when it returns.
  virtual void Flush(const std::string& path) = 0;
  virtual void DurableRename(const std::string& from, const std::string& to) = 0;
};

// Rewrites a file whole so that a fault or a power cut leaves its old bytes or
// its new ones, never a mix nor an empty file: a temporary file beside it,
// flushed, renamed over it. Windows renames nothing over a file another
// program holds open, whatever it shares (a viewer, a scanner): when only the
// rename is refused, then, unless `strict`, the file is written in place and
// flushed, as a plain write would (its readers share writing); a temporary
// file that cannot be written (a full disk) leaves the file as it was. A
// failure leaves no temporary file.
inline void ReplaceFile(FileSystem& fs, const std::string& path, std::string_view bytes, bool strict = false) {
  const std::string temp = path + ".tmp";
  const auto dropTemp = [&] {
    try {
      if (fs.FileExists(temp)) fs.Delete(temp);
    } catch (...) {
      // The next replace writes over it.
    }
  };
  try {
    fs.WriteAll(temp, bytes);
    fs.Flush(temp);
  } catch (...) {
    dropTemp();
    throw;
  }
  try {
    fs.DurableRename(temp, path);
    return;
  } catch (...) {
    dropTemp();
    if (strict || !fs.FileExists(path)) throw;
  }
  fs.WriteAll(path, bytes);
  fs.Flush(path);
}

}  // namespace quarn
