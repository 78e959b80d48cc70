// The custom actions of the suite's Windows Installer package: what the package
// needs and the installer tables wixl writes cannot say. Each runs deferred, as
// LocalSystem, and reads the suite folder from its CustomActionData.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

// In the installer's registration order.
const wchar_t* const kControles[] = {L"richtx32.ocx", L"NTsvc.ocx", L"Comdlg32.ocx", L"MSCOMCTL.ocx", L"MSINET.ocx"};

std::wstring ActionData(MSIHANDLE install) {
  DWORD size = 0;
  wchar_t empty[1] = L"";
  MsiGetPropertyW(install, L"CustomActionData", empty, &size);
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, L"CustomActionData", value.data(), &size) != ERROR_SUCCESS) return {};
  value.resize(size);
  while (!value.empty() && value.back() == L'\\') value.pop_back();
  return value;
}

// A line in the installation log (msiexec /l*v), for whoever reads why it failed.
void Log(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

struct Sid {
  BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
  explicit Sid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    CreateWellKnownSid(type, nullptr, bytes, &size);
  }
  PSID get() { return bytes; }
};

// SYSTEM and Administrators full control, Users read and execute. `flags` makes
// the entries inheritable (a folder) or marks them inherited (what lies below).
std::vector<BYTE> SuiteAcl(BYTE flags) {
  Sid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), users(WinBuiltinUsersSid);
  std::vector<BYTE> acl(sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
  auto* a = reinterpret_cast<PACL>(acl.data());
  if (!InitializeAcl(a, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, flags, FILE_ALL_ACCESS, system.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, flags, FILE_ALL_ACCESS, admins.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, flags, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, users.get()))
    return {};
  return acl;
}

// Taking ownership of what someone else made, and reaching what its list shuts
// out: the installer's LocalSystem token holds these privileges, not all on.
void EnablePrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME}) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// Sets owner and list on the object itself: a link is never followed, so a
// link planted in an open folder cannot point this at another folder.
// `isDir`/`isLink` tell the caller what it was.
DWORD SetSuiteSecurity(const std::wstring& path, bool top, bool& isDir, bool& isLink) {
  HANDLE f = CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (f == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD rc = GetFileInformationByHandle(f, &info) ? 0 : GetLastError();
  isDir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const BYTE inherit = isDir ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
  std::vector<BYTE> acl = SuiteAcl(top ? inherit : static_cast<BYTE>(inherit | INHERITED_ACE));
  if (rc == 0 && acl.empty()) rc = ERROR_INVALID_ACL;
  if (rc == 0) {
    Sid admins(WinBuiltinAdministratorsSid);
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      (top ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    rc = SetSecurityInfo(f, SE_FILE_OBJECT, what, admins.get(), nullptr, reinterpret_cast<PACL>(acl.data()), nullptr);
  }
  CloseHandle(f);
  return rc;
}

// Everything below gets the list as inherited: on a handle Windows does not
// hand it down by itself, and a folder kept from an earlier install may hold
// files of any list.
DWORD SetBelow(const std::wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  DWORD result = 0;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    bool isDir = false, isLink = false;
    DWORD rc = SetSuiteSecurity(path, false, isDir, isLink);
    if (rc == 0 && isDir && !isLink) rc = SetBelow(path);
    if (rc != 0 && result == 0) result = rc;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return result;
}

DWORD EnsureFolder(const std::wstring& path, bool& created) {
  created = false;
  if (CreateDirectoryW(path.c_str(), nullptr)) {
    created = true;
    return 0;
  }
  const DWORD rc = GetLastError();
  if (rc != ERROR_ALREADY_EXISTS) return rc;
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
  // A link in place of the folder would send the suite wherever it points.
  return (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_CANT_ACCESS_FILE : 0;
}

UINT Registra(MSIHANDLE install, bool registrar) {
  const std::wstring folder = ActionData(install);
  UINT result = ERROR_SUCCESS;
  for (const wchar_t* name : kControles) {
    const std::wstring path = folder + L"\\" + name;
    HMODULE lib = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) {
      Log(install, L"Quarn SQL: " + path + L" nao carregou (" + std::to_wstring(GetLastError()) + L")");
      result = ERROR_INSTALL_FAILURE;
      continue;
    }
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void*>(GetProcAddress(lib, registrar ? "DllRegisterServer" : "DllUnregisterServer")));
    const HRESULT hr = entry ? entry() : E_NOTIMPL;
    FreeLibrary(lib);
    if (FAILED(hr)) {
      Log(install, L"Quarn SQL: " + path + L" falhou (0x" + std::to_wstring(static_cast<unsigned long>(hr)) + L")");
      result = ERROR_INSTALL_FAILURE;
    }
  }
  return result;
}

}  // namespace

// Gives `\Solvane` (when this install makes it) and the suite folder an explicit,
// protected owner and list before any file lands in them: the services run from
// here as LocalSystem, so no ordinary user may change what lies in it. A folder
// that exists already is reset; a volume that keeps no permissions fails the
// install rather than leave the folder open.
extern "C" UINT __stdcall ProtegePastaSuite(MSIHANDLE install) {
  const std::wstring suite = ActionData(install);
  const size_t cut = suite.find_last_of(L'\\');
  if (suite.empty() || cut == std::wstring::npos) return ERROR_INSTALL_FAILURE;
  const std::wstring solvane = suite.substr(0, cut);
  EnablePrivileges();
  bool createdSolvane = false, createdSuite = false, isDir = false, isLink = false;
  DWORD rc = EnsureFolder(solvane, createdSolvane);
  if (rc == 0 && createdSolvane) rc = SetSuiteSecurity(solvane, true, isDir, isLink);
  if (rc == 0) rc = EnsureFolder(suite, createdSuite);
  if (rc == 0) rc = SetSuiteSecurity(suite, true, isDir, isLink);
  if (rc == 0) rc = SetBelow(suite);
  if (rc != 0) {
    Log(install, L"Quarn SQL: permissoes de " + suite + L" falharam (" + std::to_wstring(rc) + L")");
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RegistraControles(MSIHANDLE install) { return Registra(install, true); }

extern "C" UINT __stdcall DesregistraControles(MSIHANDLE install) { return Registra(install, false); }

// Both services run as LocalSystem from a folder whose name holds a space: the
// service manager must get the program's path in quotes, and not every
// installer engine writes them.
extern "C" UINT __stdcall CitaCaminhoServicos(MSIHANDLE install) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return ERROR_INSTALL_FAILURE;
  UINT result = ERROR_SUCCESS;
  for (const wchar_t* name : {L"QuarnSQLService", L"QuarnSQLServiceMonitor"}) {
    SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    if (!svc) {
      result = ERROR_INSTALL_FAILURE;
      continue;
    }
    DWORD needed = 0;
    QueryServiceConfigW(svc, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : 1);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(svc, cfg, needed, &needed) || !cfg->lpBinaryPathName) {
      result = ERROR_INSTALL_FAILURE;
    } else if (cfg->lpBinaryPathName[0] != L'"') {
      const std::wstring quoted = L"\"" + std::wstring(cfg->lpBinaryPathName) + L"\"";
      if (!ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quoted.c_str(), nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr)) {
        Log(install, std::wstring(L"Quarn SQL: ") + name + L" (" + std::to_wstring(GetLastError()) + L")");
        result = ERROR_INSTALL_FAILURE;
      }
    }
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return result;
}

// The package puts its own builds over whatever the monitor had updated to; the
// records of those builds would stop the monitor from fetching them again.
extern "C" UINT __stdcall EsqueceVersaoLocal(MSIHANDLE install) {
  const std::wstring logs = ActionData(install) + L"\\Logs\\";
  for (const wchar_t* record : {L"VersaoQuarnSQLService.ini", L"VersaoQuarnSqlMonitor.ini"}) {
    const std::wstring path = logs + record;
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
      Log(install, L"Quarn SQL: " + path + L" (" + std::to_wstring(GetLastError()) + L")");
  }
  return ERROR_SUCCESS;
}

// The monitor starts the backup service again within a second of its stop: it
// must be down first, or the backup service outlives the uninstall.
extern "C" UINT __stdcall ParaMonitor(MSIHANDLE) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return ERROR_SUCCESS;
  SC_HANDLE svc = OpenServiceW(scm, L"QuarnSQLServiceMonitor", SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (svc) {
    SERVICE_STATUS status{};
    ControlService(svc, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 300 && QueryServiceStatus(svc, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
      Sleep(100);
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return ERROR_SUCCESS;
}
