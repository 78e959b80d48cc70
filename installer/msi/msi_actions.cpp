// The custom actions of the suite's Windows Installer package: what the package
// needs and the installer tables wixl writes cannot say. Each runs deferred, as
// LocalSystem, and reads the suite folder from its CustomActionData.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/suite_files.h"
#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "common/win32/service_recovery.h"
#include "common/win32/sid_text.h"
#include "installer/win32/folder_security.h"

namespace {

// The suite's names are ASCII.
std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

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

// As the installer does: a folder somebody else made (or a link or a file in
// its place) is moved aside, kept and named in the log, and made afresh.
DWORD EnsureFolder(MSIHANDLE install, const std::wstring& path, const std::string& installingAccount) {
  const quarn::FolderFacts facts = quarn::win::InspectFolder(path);
  switch (quarn::DecideFolder(facts, installingAccount)) {
    case quarn::FolderAction::Use:
      return 0;
    case quarn::FolderAction::MoveAside: {
      SYSTEMTIME t;
      GetLocalTime(&t);
      wchar_t stamp[32];
      swprintf(stamp, 32, L"%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
      const std::wstring aside = path + L".anterior-" + stamp;
      if (const DWORD rc = quarn::win::MoveAside(path, aside)) return rc;
      Log(install, L"Quarn SQL: " + path + L" nao foi criada por um administrador: movida para " + aside);
      break;
    }
    case quarn::FolderAction::Create:
      break;
  }
  return CreateDirectoryW(path.c_str(), nullptr) ? 0 : GetLastError();
}

UINT Registra(MSIHANDLE install, bool registrar) {
  const std::wstring folder = ActionData(install);
  UINT result = ERROR_SUCCESS;
  for (const char* control : quarn::kControlFiles) {  // in the installer's registration order
    const std::wstring path = folder + L"\\" + Wide(control);
    // Its code runs as LocalSystem: only from a file nobody else could have changed.
    if (!quarn::win::ProtectedAsLeft(path, quarn::win::InstallingAccount())) {
      Log(install, L"Quarn SQL: " + path + L" nao esta protegido: nao foi carregado");
      result = ERROR_INSTALL_FAILURE;
      continue;
    }
    HRESULT hr = E_NOTIMPL;
    {
      const quarn::win::UniqueModule lib = quarn::win::SuiteLibrary(path);
      if (!lib) {
        Log(install, L"Quarn SQL: " + path + L" nao carregou (" + std::to_wstring(GetLastError()) + L")");
        result = ERROR_INSTALL_FAILURE;
        continue;
      }
      using EntryPoint = HRESULT(STDAPICALLTYPE*)();
      const auto entry = quarn::win::EntryPointOrNull<EntryPoint>(
          lib.get(), registrar ? "DllRegisterServer" : "DllUnregisterServer");
      if (entry) hr = entry();
    }  // the control is unloaded before its failure is logged, as always
    if (FAILED(hr)) {
      Log(install, L"Quarn SQL: " + path + L" falhou (0x" + std::to_wstring(static_cast<unsigned long>(hr)) + L")");
      result = ERROR_INSTALL_FAILURE;
    }
  }
  return result;
}

}  // namespace

// Gives `\Solvane` and the suite folder an explicit, protected owner and list
// before any file lands in them (and the suite's registry key too): the
// services run from here as LocalSystem, so no ordinary user may change what
// lies in it. `\Solvane`'s own list only: what else it holds keeps what it
// inherited. A suite folder that exists already is reset and its links
// removed; a volume that keeps no permissions fails the install rather than
// leave the folder open.
extern "C" UINT __stdcall ProtegePastaSuite(MSIHANDLE install) {
  const std::wstring suite = ActionData(install);
  const size_t cut = suite.find_last_of(L'\\');
  if (suite.empty() || cut == std::wstring::npos) return ERROR_INSTALL_FAILURE;
  const std::wstring solvane = suite.substr(0, cut);
  const std::string account = quarn::win::InstallingAccount();
  std::vector<std::wstring> links;
  // The same lists as the installer's, by the same code.
  DWORD rc = EnsureFolder(install, solvane, account);
  if (rc == 0) rc = quarn::win::ProtectFolder(solvane, false);
  if (rc == 0) rc = EnsureFolder(install, suite, account);
  if (rc == 0) rc = quarn::win::ProtectFolder(suite, true, &links);
  for (const auto& link : links) Log(install, L"Quarn SQL: link removido sem ser seguido: " + link);
  if (rc != 0) {
    Log(install, L"Quarn SQL: permissoes de " + suite + L" falharam (" + std::to_wstring(rc) + L")");
    return ERROR_INSTALL_FAILURE;
  }
  if ((rc = quarn::win::ProtectSuiteKey(quarn::kSuiteKeyW)) != 0) {
    Log(install, std::wstring(L"Quarn SQL: permissoes da chave HKLM\\") + quarn::kSuiteKeyW + L" falharam (" +
                     std::to_wstring(rc) + L")");
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
  const quarn::win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return ERROR_INSTALL_FAILURE;
  UINT result = ERROR_SUCCESS;
  for (const std::wstring& serviceName : {Wide(quarn::kBackupServiceName), Wide(quarn::kMonitorServiceName)}) {
    const wchar_t* name = serviceName.c_str();
    const quarn::win::UniqueServiceHandle service(
        OpenServiceW(scm.get(), name, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!service) {
      result = ERROR_INSTALL_FAILURE;
      continue;
    }
    SC_HANDLE svc = service.get();
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
    (void)quarn::win::SetRestartOnFailure(svc);  // the service manager's own restart, beside the watchdog
  }
  return result;
}

// The package puts its own builds over whatever the monitor had updated to; the
// records of those builds would stop the monitor from fetching them again.
extern "C" UINT __stdcall EsqueceVersaoLocal(MSIHANDLE install) {
  const std::wstring logs = ActionData(install) + L"\\" + Wide(quarn::kLogsFolder) + L"\\";
  for (const char* record : {quarn::kServiceVersionRecord, quarn::kGuiVersionRecord}) {
    const std::wstring path = logs + Wide(record);
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
      Log(install, L"Quarn SQL: " + path + L" (" + std::to_wstring(GetLastError()) + L")");
  }
  return ERROR_SUCCESS;
}

// The monitor starts the backup service again within a second of its stop: it
// must be down first, or the backup service outlives the uninstall.
extern "C" UINT __stdcall ParaMonitor(MSIHANDLE) {
  const quarn::win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return ERROR_SUCCESS;
  const quarn::win::UniqueServiceHandle svc(
      OpenServiceW(scm.get(), Wide(quarn::kMonitorServiceName).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (svc) {
    SERVICE_STATUS status{};
    // A monitor already stopped refuses the stop; the wait below sees it stopped either way.
    (void)ControlService(svc.get(), SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 300 && QueryServiceStatus(svc.get(), &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
      Sleep(100);
  }
  return ERROR_SUCCESS;
}
