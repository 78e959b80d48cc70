#include "common/win32/win_platform.h"

#include "common/win32/file_time.h"

#include <oleauto.h>

#include <algorithm>
#include <vector>

#include "common/win32/handles.h"

namespace quarn::win {

std::wstring Widen(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(std::wstring_view w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string SystemMessage(DWORD code, HMODULE module) {
  wchar_t* buf = nullptr;
  const DWORD from = FORMAT_MESSAGE_FROM_SYSTEM | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | from | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, 0,
                                 reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  const UniqueLocal<wchar_t*> hold(buf);
  std::wstring text = n && buf ? std::wstring(buf, n) : std::wstring();
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return Narrow(text);
}

std::string ErrorDescription(DWORD code) {
  const std::string text = SystemMessage(code);
  return text.empty() ? "Erro " + std::to_string(code) : text;
}

VbError Win32Error(DWORD code) { return VbError(static_cast<long>(code), ErrorDescription(code)); }

VbError FileErrorFromWin32(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return FileError(kErrFileNotFound);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return FileError(kErrPathNotFound);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileError(kErrPermissionDenied);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileError(kErrDiskFull);
    default:
      return FileError(kErrPathFileAccess);
  }
}

std::string AcpCodec::ToAnsi(std::string_view utf8) const {
  const std::wstring w = Widen(utf8);
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string AcpCodec::FromAnsi(std::string_view ansi) const {
  if (ansi.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), w.data(), n);
  return Narrow(w);
}

namespace {

UniqueFile OpenFile(const std::string& path, DWORD access, DWORD disposition) {
  UniqueFile f(CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) throw FileErrorFromWin32(GetLastError());
  return f;
}

void WriteBytes(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr)) throw FileErrorFromWin32(GetLastError());
    if (written == 0) throw FileError(kErrDiskFull);
    bytes.remove_prefix(written);
  }
}

LocalTime FromSystemTime(const SYSTEMTIME& st) {
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  return t;
}

SYSTEMTIME ToSystemTime(const LocalTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.year);
  st.wMonth = static_cast<WORD>(t.month);
  st.wDay = static_cast<WORD>(t.day);
  st.wHour = static_cast<WORD>(t.hour);
  st.wMinute = static_cast<WORD>(t.minute);
  st.wSecond = static_cast<WORD>(t.second);
  return st;
}

std::string LocaleText(LCTYPE type, const char* fallback) {
  wchar_t buf[16];
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, 16);
  return n > 1 ? Narrow(std::wstring_view(buf, static_cast<size_t>(n - 1))) : fallback;
}

}  // namespace

bool Win32FileSystem::FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool Win32FileSystem::DirExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void Win32FileSystem::CreateDir(const std::string& path) {
  if (!CreateDirectoryW(Widen(path).c_str(), nullptr)) throw FileErrorFromWin32(GetLastError());
}

std::string Win32FileSystem::ReadAll(const std::string& path) {
  UniqueFile f = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
  std::string out;
  char buf[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(f.get(), buf, sizeof buf, &got, nullptr)) throw FileErrorFromWin32(GetLastError());
    if (got == 0) break;
    out.append(buf, got);
  }
  return out;
}

void Win32FileSystem::WriteAll(const std::string& path, std::string_view bytes) {
  UniqueFile f = OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS);
  WriteBytes(f.get(), bytes);
}

void Win32FileSystem::Append(const std::string& path, std::string_view bytes) {
  UniqueFile f = OpenFile(path, FILE_APPEND_DATA, OPEN_EXISTING);
  WriteBytes(f.get(), bytes);
}

void Win32FileSystem::Delete(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) throw FileErrorFromWin32(GetLastError());
}

void Win32FileSystem::Rename(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    throw FileErrorFromWin32(GetLastError());
}

void Win32FileSystem::Flush(const std::string& path) {
  // Write access is what FlushFileBuffers needs; readers and writers may hold the file meanwhile.
  UniqueFile f(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) throw FileErrorFromWin32(GetLastError());
  if (!FlushFileBuffers(f.get())) throw FileErrorFromWin32(GetLastError());
}

void Win32FileSystem::DurableRename(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    throw FileErrorFromWin32(GetLastError());
}

FileStamp Win32FileSystem::Stamp(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &d)) throw FileErrorFromWin32(GetLastError());
  FileStamp s;
  s.size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  s.writeTime = FileTimeTicks(d.ftLastWriteTime);
  return s;
}

std::vector<std::string> Win32FileSystem::ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW fd;
  const UniqueFind h = FindFirst(Widen(JoinPath(folder, "*")).c_str(), &fd);
  if (!h) {
    // A missing folder holds no files; any other failure must not pass for one.
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return names;
    throw FileErrorFromWin32(e);
  }
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(Narrow(fd.cFileName));
  } while (FindNextFileW(h.get(), &fd));
  const DWORD e = GetLastError();
  if (e != ERROR_NO_MORE_FILES) throw FileErrorFromWin32(e);
  return names;
}

void Win32FileSystem::RemoveDir(const std::string& path) {
  if (!RemoveDirectoryW(Widen(path).c_str())) throw FileErrorFromWin32(GetLastError());
}

LocalTime Win32FileSystem::LastModified(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &d)) throw FileErrorFromWin32(GetLastError());
  FILETIME local{};
  SYSTEMTIME st{};
  FileTimeToLocalFileTime(&d.ftLastWriteTime, &local);
  FileTimeToSystemTime(&local, &st);
  return FromSystemTime(st);
}

LocalTime Win32Clock::Now() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return FromSystemTime(st);
}

std::string Win32DateFormat::GeneralDate(const LocalTime& t) {
  const SYSTEMTIME st = ToSystemTime(t);
  wchar_t date[80], time[80];
  if (!GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 80)) return FormatLogStamp(t);
  std::string out = Narrow(date);
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return out;
  if (!GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, 80)) return FormatLogStamp(t);
  return out + " " + Narrow(time);
}

std::string Win32DateFormat::LogStamp(const LocalTime& t) {
  return FormatLogStamp(t, LocaleText(LOCALE_SDATE, "/"), LocaleText(LOCALE_STIME, ":"));
}

bool Win32DateFormat::ParseDate(const std::string& text, LocalTime& out) {
  // The same conversion the system's scripting runtime uses for dates.
  std::wstring w = Widen(text);
  DATE date = 0;
  if (FAILED(VarDateFromStr(w.data(), LOCALE_USER_DEFAULT, 0, &date))) return false;
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(date, &st)) return false;
  out = FromSystemTime(st);
  return true;
}

void ModulePath(std::string& folder, std::string& nameWithoutExt, std::string* fullPath) {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const std::string full = Narrow(std::wstring_view(buf.data(), buf.size()));
  if (fullPath) *fullPath = full;
  const size_t slash = full.find_last_of('\\');
  folder = slash == std::string::npos ? std::string() : full.substr(0, slash);
  if (folder.size() == 2 && folder[1] == ':') folder += '\\';  // a drive root keeps its backslash
  std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  nameWithoutExt = dot == std::string::npos ? name : name.substr(0, dot);
}

bool RegisterMainWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC proc, int background, HICON icon) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(background + 1));
  wc.hIcon = icon;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}

}  // namespace quarn::win
