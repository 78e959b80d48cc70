// FileOps over the Win32 API, for AUNZIP32.DLL. Paths arrive as UTF-8 and are
// used as UTF-16, so every name the archive holds reaches the disk unchanged.
#include <windows.h>

#include "common/win32/handles.h"
#include "aunzip32/file_ops.h"

namespace quarn::unzip {
namespace {

// Empty when the text is not UTF-8 (an invalid name then opens nothing).
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

class Win32Archive final : public ArchiveFile {
 public:
  Win32Archive(win::UniqueFile file, uint64_t size) : file_(std::move(file)), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t n) override {
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
      DWORD got = 0;
      if (!ReadFile(file_.get(), p, want, &got, &at) || got == 0) return false;
      p += got, offset += got, n -= got;
    }
    return true;
  }

 private:
  win::UniqueFile file_;
  uint64_t size_;
};

class Win32Output final : public OutputFile {
 public:
  explicit Win32Output(HANDLE file) : file_(file) {}
  bool Write(const void* data, size_t n) override {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
      const DWORD want = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
      DWORD put = 0;
      if (!WriteFile(file_.get(), p, want, &put, nullptr) || put == 0) return false;
      p += put, n -= put;
    }
    return true;
  }
  bool Close() override {
    HANDLE h = file_.release();
    return h == nullptr || CloseHandle(h) != FALSE;
  }

 private:
  win::UniqueKernel file_;
};

class Win32FileOps final : public FileOps {
 public:
  std::unique_ptr<ArchiveFile> OpenArchive(const std::string& path) override {
    const std::wstring wide = Wide(path);
    if (wide.empty()) return nullptr;
    win::UniqueFile file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size)) return nullptr;
    return std::make_unique<Win32Archive>(std::move(file), static_cast<uint64_t>(size.QuadPart));
  }
  std::unique_ptr<OutputFile> CreateNew(const std::string& path) override {
    const std::wstring wide = Wide(path);
    if (wide.empty()) return nullptr;
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32Output>(h);
  }
  bool Exists(const std::string& path) override {
    const std::wstring wide = Wide(path);
    return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  bool Move(const std::string& from, const std::string& to, bool replace) override {
    const std::wstring f = Wide(from), t = Wide(to);
    return !f.empty() && !t.empty() && MoveFileExW(f.c_str(), t.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0);
  }
  bool Remove(const std::string& path) override {
    const std::wstring wide = Wide(path);
    return !wide.empty() && DeleteFileW(wide.c_str());
  }
  bool MakeDir(const std::string& path) override {
    const std::wstring wide = Wide(path);
    if (wide.empty()) return false;
    if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  char Separator() const override { return '\\'; }
};

}  // namespace

std::unique_ptr<FileOps> MakeSystemFileOps() { return std::make_unique<Win32FileOps>(); }

}  // namespace quarn::unzip
