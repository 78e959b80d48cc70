#include "win_test_util.h"

#include <tlhelp32.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdlib>
#include <vector>

#include "common/win32/win_platform.h"

namespace quarn::wintest {

using win::UniqueKernel;
using win::UniqueServiceHandle;

std::wstring TestsFolder() {
  wchar_t buf[MAX_PATH];
  GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring p(buf);
  return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring BinFolder() {
  const std::wstring tests = TestsFolder();
  return tests.substr(0, tests.find_last_of(L'\\')) + L"\\bin";
}

void CopyHelper(const std::wstring& helper, const std::wstring& toPath) {
  CopyFileW((TestsFolder() + L"\\" + helper).c_str(), toPath.c_str(), FALSE);
}

std::wstring FreshFolder(const std::wstring& name) {
  CreateDirectoryW(L"C:\\Quarn Tests", nullptr);
  const std::wstring folder = L"C:\\Quarn Tests\\" + name;
  // Clear what an earlier run left, one level deep.
  WIN32_FIND_DATAW fd;
  for (const wchar_t* sub : {L"", L"\\Logs", L"\\temp"}) {
    const std::wstring dir = folder + sub;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) continue;
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW((folder + L"\\Logs").c_str());
  RemoveDirectoryW((folder + L"\\temp").c_str());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void CopyProgram(const std::wstring& program, const std::wstring& toFolder) {
  CopyFileW((BinFolder() + L"\\" + program).c_str(), (toFolder + L"\\" + program).c_str(), FALSE);
}

std::string ReadFileBytes(const std::wstring& path) {
  win::UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  if (!f) return "<missing>";
  std::string out;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
  return out;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

UniqueKernel Launch(const std::wstring& exe, const std::wstring& args) {
  std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return UniqueKernel();
  CloseHandle(pi.hThread);
  return UniqueKernel(pi.hProcess);
}

DWORD WaitExit(HANDLE process, DWORD ms) {
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

bool WaitFor(const std::function<bool()>& condition, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(50);
  }
}

bool CopyOver(const std::wstring& from, const std::wstring& to, DWORD ms) {
  return WaitFor([&] { return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE; }, ms);
}

namespace {
// Wine ties a service handle to its manager handle: keep both open together.
struct OpenedService {
  UniqueServiceHandle scm, svc;
  SC_HANDLE get() const { return svc.get(); }
  explicit operator bool() const { return static_cast<bool>(svc); }
};
OpenedService Open(const wchar_t* name, DWORD access) {
  OpenedService o;
  o.scm.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (o.scm) o.svc.reset(OpenServiceW(o.scm.get(), name, access));
  return o;
}
}  // namespace

DWORD ServiceState(const wchar_t* name) {
  OpenedService svc = Open(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS s{};
  if (!svc || !QueryServiceStatus(svc.get(), &s)) return 0;
  return s.dwCurrentState;
}

bool ServiceExists(const wchar_t* name) { return static_cast<bool>(Open(name, SERVICE_QUERY_STATUS)); }

DWORD ControlService(const wchar_t* name, DWORD control) {
  DWORD access = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_PAUSE_CONTINUE;
  OpenedService svc = Open(name, access);
  if (!svc) return GetLastError();
  SERVICE_STATUS s{};
  return ::ControlService(svc.get(), control, &s) ? NO_ERROR : GetLastError();
}

DWORD StartServiceByName(const wchar_t* name) {
  OpenedService svc = Open(name, SERVICE_START);
  if (!svc) return GetLastError();
  // Right after a service's process was killed, Wine's manager may answer
  // ERROR_INTERNAL_ERROR until it has seen the process go: try again, bounded.
  DWORD e = NO_ERROR;
  WaitFor(
      [&] {
        e = StartServiceW(svc.get(), 0, nullptr) ? NO_ERROR : GetLastError();
        return e != ERROR_INTERNAL_ERROR;
      },
      10000);
  return e;
}

DWORD CreateOwnService(const wchar_t* name, const std::wstring& commandLine) {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return GetLastError();
  UniqueServiceHandle svc(CreateServiceW(scm.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                         nullptr, nullptr, nullptr, nullptr));
  return svc ? NO_ERROR : GetLastError();
}

DWORD DeleteServiceByName(const wchar_t* name) {
  OpenedService svc = Open(name, DELETE);
  if (!svc) return GetLastError();
  return DeleteService(svc.get()) ? NO_ERROR : GetLastError();
}

void RemoveService(const wchar_t* name) {
  if (!ServiceExists(name)) return;
  ControlService(name, SERVICE_CONTROL_STOP);
  WaitFor(
      [&] {
        DWORD s = ServiceState(name);
        return s == SERVICE_STOPPED || s == 0;
      },
      10000);
  DeleteServiceByName(name);
  WaitFor([&] { return !ServiceExists(name); }, 5000);
}

DWORD ServicePid(const wchar_t* name) {
  OpenedService svc = Open(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS sp{};
  DWORD needed = 0;
  if (!svc ||
      !QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp, &needed) ||
      sp.dwCurrentState != SERVICE_RUNNING)
    return 0;
  return sp.dwProcessId;
}

ServiceConfig QueryConfig(const wchar_t* name) {
  ServiceConfig c;
  OpenedService svc = Open(name, SERVICE_QUERY_CONFIG);
  std::vector<uint64_t> buf(1024);
  DWORD needed = 0;
  auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  if (svc && QueryServiceConfigW(svc.get(), cfg, static_cast<DWORD>(buf.size() * sizeof buf[0]), &needed)) {
    c.path = cfg->lpBinaryPathName;
    c.account = cfg->lpServiceStartName ? cfg->lpServiceStartName : L"";
    c.startType = cfg->dwStartType;
    c.type = cfg->dwServiceType;
  }
  return c;
}

std::string Env(const char* name) {
  char buf[1024];
  const DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string HostPath(const std::string& unixPath) {
  std::string p = "Z:";
  for (char c : unixPath) p += c == '/' ? '\\' : c;
  return p;
}

bool SetMachineRoot(const std::string& derFile, bool trusted) {
  const std::string der = ReadFileBytes(win::Widen(derFile));
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) return false;
  PCCERT_CONTEXT cert = nullptr;
  BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &cert);
  if (ok && !trusted) ok = CertDeleteCertificateFromStore(cert);  // frees the context
  else if (cert) CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  return ok != FALSE;
}

bool SetMachineProxy(const std::wstring& proxy, const std::wstring& bypass) {
  std::wstring p = proxy, b = bypass;
  WINHTTP_PROXY_INFO info{};
  info.dwAccessType = proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = proxy.empty() ? nullptr : p.data();
  info.lpszProxyBypass = bypass.empty() ? nullptr : b.data();
  return WinHttpSetDefaultProxyConfiguration(&info) != FALSE;
}

std::string UpdateServerFile(const std::string& name) {
  std::string p = "Z:";
  for (char c : Env("QUARN_UPDATE_ROOT")) p += c == '/' ? '\\' : c;
  CreateDirectoryA((p + "\\CentralUpdate").c_str(), nullptr);
  CreateDirectoryA((p + "\\CentralUpdate\\QuarnSqlSolvane").c_str(), nullptr);
  return p + "\\CentralUpdate\\QuarnSqlSolvane\\" + name;
}

namespace {
// Writes a value of the suite's key (HKLM), creating the key; deletes it when
// there is no data.
void SetSuiteValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKeyW, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  const win::UniqueRegKey held(key);
  if (data)
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  else
    RegDeleteValueW(key, name);
}
}  // namespace

void SetUpdateServer(const std::string& url) {
  const std::wstring v = win::Widen(url);
  SetSuiteValue(L"UpdateServer", REG_SZ, v.c_str(), static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

void SetProbationSeconds(DWORD seconds) {
  SetSuiteValue(L"UpdateProbationSeconds", REG_DWORD, &seconds, sizeof seconds);
}

void SetAllowUnsigned(bool allow) {
  const DWORD one = 1;
  SetSuiteValue(L"AllowUnsignedUpdates", REG_DWORD, allow ? &one : nullptr, sizeof one);
}

std::vector<std::string> LogMessages(const std::wstring& file, std::vector<int>* colors) {
  // Date and time, then the bold flag and the colour padded to fixed widths.
  constexpr size_t kMessageColumn = 38;
  std::vector<std::string> out;
  const std::string text = win::AcpCodec().FromAnsi(ReadFileBytes(file));
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    if (line.size() < kMessageColumn) continue;
    out.push_back(line.substr(kMessageColumn));
    if (colors) colors->push_back(static_cast<int>(std::strtol(line.substr(26, 12).c_str(), nullptr, 10)));
  }
  return out;
}

namespace {
template <typename F>
void ForEachProcess(const wchar_t* exeName, F&& f) {
  win::UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap) return;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
    if (lstrcmpiW(pe.szExeFile, exeName) == 0) f(pe.th32ProcessID);
}
}  // namespace

void KillProgram(const wchar_t* exeName) {
  ForEachProcess(exeName, [](DWORD pid) {
    UniqueKernel p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!p) return;
    TerminateProcess(p.get(), 1);
    WaitForSingleObject(p.get(), 5000);
  });
}

void EndSuite() {
  RemoveService(kMonitorService);
  RemoveService(kBackupService);
  for (auto* p : {L"QuarnSQLMonitor.exe", L"LoadWinSolvane.exe", L"InstaladorQuarnSQL.exe", L"QuarnSQLService.exe",
                  L"QuarnSQLServiceMonitor.exe"})
    KillProgram(p);
}

bool ControlRegistered(const wchar_t* control) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kControlesKeyW, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  const bool found = RegQueryValueExW(key, control, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

int CountProcesses(const wchar_t* exeName) {
  int n = 0;
  ForEachProcess(exeName, [&](DWORD) { ++n; });
  return n;
}

std::string EventLogText() {
  char unixPath[1024];
  const DWORD n = GetEnvironmentVariableA("QUARN_EVENT_LOG", unixPath, sizeof unixPath);
  if (n == 0 || n >= sizeof unixPath) return "<no event log in this session>";
  std::wstring path = L"Z:";
  for (const char* c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return ReadFileBytes(path);
}

std::wstring EventMessageFile() {
  wchar_t buf[MAX_PATH * 2];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuarnSQLServiceMonitor",
                   L"EventMessageFile", RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"";
  std::wstring file = buf;
  CharLowerW(file.data());
  return file;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(folder.c_str());
}

namespace {
// The first top-level window with this title that meets the other criteria
// given (a class name, an owning process, being visible).
HWND FindTop(const wchar_t* title, const wchar_t* className, DWORD pid, bool visibleOnly) {
  struct Search {
    const wchar_t* title;
    const wchar_t* cls;
    DWORD pid;
    bool visibleOnly;
    HWND found;
  } s{title, className, pid, visibleOnly, nullptr};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* search = reinterpret_cast<Search*>(p);
        wchar_t text[256], cls[256];
        DWORD owner = 0;
        GetWindowTextW(w, text, 256);
        GetClassNameW(w, cls, 256);
        GetWindowThreadProcessId(w, &owner);
        if ((search->visibleOnly && !IsWindowVisible(w)) || lstrcmpW(text, search->title) != 0 ||
            (search->cls && lstrcmpW(cls, search->cls) != 0) || (search->pid && owner != search->pid))
          return TRUE;
        search->found = w;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&s));
  return s.found;
}
}  // namespace

HWND FindTopWindow(const wchar_t* title, const wchar_t* className) { return FindTop(title, className, 0, true); }

HWND FindProcessWindow(DWORD pid, const wchar_t* title) { return FindTop(title, nullptr, pid, false); }

HWND FindChildByText(HWND parent, const std::wstring& text) {
  struct Search {
    const std::wstring* text;
    HWND found;
  } s{&text, nullptr};
  EnumChildWindows(
      parent,
      [](HWND w, LPARAM p) -> BOOL {
        auto* search = reinterpret_cast<Search*>(p);
        wchar_t buf[512];
        GetWindowTextW(w, buf, 512);
        if (*search->text == buf) {
          search->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND WaitInstallerSuccess(DWORD ms) {
  HWND w = nullptr;
  const bool shown = WaitFor(
      [&] {
        if (!w) w = FindTopWindow(L"Instalador Quarn SQL", L"InstaladorQuarnSQL.frmInstal");
        HWND success = w ? FindChildByText(w, L"Quarn SQL Server instalado com sucesso.") : nullptr;
        return success && IsWindowVisible(success);
      },
      ms);
  return shown ? w : nullptr;
}

std::wstring SaveScreenshot(HWND window, const std::wstring& name) {
  char dir[1024];
  const DWORD n = GetEnvironmentVariableA("QUARN_SCREENSHOTS", dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return L"";
  std::wstring folder = L"Z:";
  for (const char* c = dir; *c; ++c) folder += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  CreateDirectoryW(folder.c_str(), nullptr);
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return L"";
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
  const std::wstring path = folder + L"\\" + name + L".bmp";
  win::UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (f) {
    WriteFile(f.get(), &fh, sizeof fh, &written, nullptr);
    WriteFile(f.get(), &bi.bmiHeader, sizeof bi.bmiHeader, &written, nullptr);
    WriteFile(f.get(), bits, stride * static_cast<DWORD>(h), &written, nullptr);
  }
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return path;
}

}  // namespace quarn::wintest
