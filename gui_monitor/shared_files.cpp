#include "gui_monitor/shared_files.h"

#include "common/win32/handles.h"

namespace quarn::gui {

std::wstring AppFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L'\\'));
}

FileState StateOf(const std::wstring& path) {
  FileState s;
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return s;
  if (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return s;
  s.exists = true;
  s.size = (static_cast<ULONGLONG>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  s.written = a.ftLastWriteTime;
  s.created = a.ftCreationTime;
  return s;
}

bool ReadShared(const std::wstring& path, std::string& out, int64_t maxBytes) {
  out.clear();
  quarn::win::UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.get(), &size)) return false;
  int64_t start = 0;
  if (size.QuadPart > maxBytes) {
    start = size.QuadPart - maxBytes;
    LARGE_INTEGER to{};
    to.QuadPart = start;
    if (!SetFilePointerEx(f.get(), to, nullptr, FILE_BEGIN)) return false;
  }
  out.reserve(static_cast<size_t>(size.QuadPart - start) + 1);
  char buf[64 * 1024];
  DWORD got = 0;
  // The writer may still be appending: take what is there, up to the limit.
  while (static_cast<int64_t>(out.size()) < maxBytes && ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got)
    out.append(buf, got);
  if (start > 0) {
    const size_t cut = out.find('\r');
    out.erase(0, cut == std::string::npos ? out.size() : cut + 1);
  }
  return true;
}

std::wstring FromAnsi(std::string_view ansi) {
  if (ansi.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), w.data(), n);
  return w;
}

std::wstring FromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

}  // namespace quarn::gui
