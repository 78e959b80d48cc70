#include "common/win32/service_manager_win32.h"
#include "common/win32/service_recovery.h"

#include <windows.h>
#include <lm.h>
#include <tlhelp32.h>

#include <memory>
#include <utility>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {

// Names go to the service manager as ANSI texts.
std::string Ansi(const std::string& utf8) { return AcpCodec().ToAnsi(utf8); }

int32_t LastError() { return static_cast<int32_t>(GetLastError()); }

// Opens the manager and one service; on failure `error` holds the code of the
// call that failed. The service handle closes before the manager's.
struct OpenedService {
  UniqueServiceHandle scm;
  UniqueServiceHandle svc;
  int32_t error = 0;
};

OpenedService OpenService(const std::string& name, DWORD access) {
  OpenedService o;
  o.scm.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!o.scm) {
    o.error = LastError();
    return o;
  }
  o.svc.reset(OpenServiceA(o.scm.get(), Ansi(name).c_str(), access));
  if (!o.svc) o.error = LastError();
  return o;
}

// True only when the process is known to have ended; a process that cannot be
// opened for want of rights is taken as running.
bool ProcessEnded(DWORD pid) {
  UniqueKernel p(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!p) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  return WaitForSingleObject(p.get(), 0) == WAIT_OBJECT_0;
}

constexpr DWORD kConfigRecord = 36;  // one QUERY_SERVICE_CONFIG record as first asked for
constexpr size_t kAccountMax = 255;

}  // namespace

int32_t Win32ServiceManager::Status(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_QUERY_STATUS);
  if (o.error) return 0;
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(o.svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
    SERVICE_STATUS plain{};
    return QueryServiceStatus(o.svc.get(), &plain) ? static_cast<int32_t>(plain.dwCurrentState) : 0;
  }
  // A service whose process is gone is stopped, whatever the manager still
  // says: Wine's manager can miss the end of a killed service process, and the
  // watchdog must then start it again. Starting it makes the manager look.
  if (s.dwCurrentState != SERVICE_STOPPED && s.dwProcessId != 0 && ProcessEnded(s.dwProcessId)) return SERVICE_STOPPED;
  return static_cast<int32_t>(s.dwCurrentState);
}

std::optional<uint32_t> Win32ServiceManager::ProcessId(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_QUERY_STATUS);
  if (o.error) return std::nullopt;
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(o.svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed))
    return std::nullopt;
  if (s.dwCurrentState == SERVICE_STOPPED || s.dwProcessId == 0 || ProcessEnded(s.dwProcessId)) return 0u;
  return static_cast<uint32_t>(s.dwProcessId);
}

int32_t Win32ServiceManager::ReadAccount(const std::string& name, std::string& account) {
  OpenedService o = OpenService(name, SERVICE_QUERY_CONFIG);
  if (o.error) return o.error;
  // 8-byte aligned storage, sized in whole records.
  std::vector<uint64_t> buf((kConfigRecord + 7) / 8);
  DWORD needed = 0;
  if (QueryServiceConfigA(o.svc.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data()), kConfigRecord, &needed))
    return 0;
  const int32_t err = LastError();
  if (err != ERROR_INSUFFICIENT_BUFFER) return err;
  const DWORD records = needed / kConfigRecord + 1;
  const DWORD size = records * kConfigRecord;
  buf.assign((size + 7) / 8, 0);
  auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
  if (!QueryServiceConfigA(o.svc.get(), cfg, size, &needed)) return LastError();
  std::string start = cfg->lpServiceStartName ? cfg->lpServiceStartName : "";
  if (start.size() > kAccountMax) start.resize(kAccountMax);
  account = AcpCodec().FromAnsi(start);
  return 0;
}

bool Win32ServiceManager::Disabled(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_QUERY_CONFIG);
  if (o.error) return false;
  DWORD needed = 0;
  if (QueryServiceConfigA(o.svc.get(), nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  std::vector<uint64_t> buf((needed + 7) / 8 + 1);
  auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
  return QueryServiceConfigA(o.svc.get(), cfg, needed, &needed) && cfg->dwStartType == SERVICE_DISABLED;
}

int32_t Win32ServiceManager::Create(const ServiceSpec& wanted) {
  UniqueServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return LastError();
  const std::string name = Ansi(wanted.name), display = Ansi(wanted.displayName), path = Ansi(wanted.programPath);
  const std::string account = Ansi(wanted.account);
  const std::string password = wanted.password ? Ansi(*wanted.password) : std::string();
  UniqueServiceHandle svc(CreateServiceA(scm.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         path.c_str(), nullptr, nullptr, nullptr, account.c_str(),
                                         wanted.password ? password.c_str() : nullptr));
  if (!svc) return LastError();
  // Wine accepts the actions and ignores them; a failure here is no reason to fail the creation.
  (void)SetRestartOnFailure(svc.get());
  return 0;
}

int32_t Win32ServiceManager::Remove(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_ALL_ACCESS);
  if (o.error) return o.error;
  SERVICE_STATUS s{};
  // A stopped service refuses the stop and is deleted all the same.
  (void)ControlService(o.svc.get(), SERVICE_CONTROL_STOP, &s);
  return DeleteService(o.svc.get()) ? 0 : LastError();
}

int32_t Win32ServiceManager::Start(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_START);
  if (o.error) return o.error;
  return StartServiceA(o.svc.get(), 0, nullptr) ? 0 : LastError();
}

int32_t Win32ServiceManager::Stop(const std::string& name) {
  OpenedService o = OpenService(name, SERVICE_STOP);
  if (o.error) return o.error;
  SERVICE_STATUS s{};
  return ControlService(o.svc.get(), SERVICE_CONTROL_STOP, &s) ? 0 : LastError();
}

std::string Win32ServiceManager::LogonDomain() {
  LPBYTE buf = nullptr;
  if (NetWkstaUserGetInfo(nullptr, 1, &buf) != NERR_Success || !buf) return {};
  const std::unique_ptr<BYTE, NET_API_STATUS(WINAPI*)(LPVOID)> hold(buf, NetApiBufferFree);
  const auto* info = reinterpret_cast<const WKSTA_USER_INFO_1*>(buf);
  return info->wkui1_logon_domain ? Narrow(info->wkui1_logon_domain) : std::string();
}

void CALLBACK Win32ServiceNotifications::Delivered(void* p) {
  auto* n = static_cast<SERVICE_NOTIFYW*>(p);
  auto* self = static_cast<Win32ServiceNotifications*>(n->pContext);
  // The names of created services, ours to free.
  const UniqueLocal<LPWSTR> names(std::exchange(n->pszServiceNames, nullptr));
  PostMessageW(self->window_, self->message_, 0, 0);
}

void CALLBACK Win32ServiceNotifications::ProcessEnded(void* p, BOOLEAN) {
  // A pool thread: only the post, which the window thread handles.
  auto* self = static_cast<Win32ServiceNotifications*>(p);
  PostMessageW(self->window_, self->message_, self->request_, 0);
}

void Win32ServiceNotifications::WatchProcess() {
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(svc_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed) ||
      s.dwCurrentState == SERVICE_STOPPED || s.dwProcessId == 0)
    return;  // no process yet: the watchdog arms again once it runs
  process_.reset(OpenProcess(SYNCHRONIZE, FALSE, s.dwProcessId));
  if (!process_) return;  // the manager's word alone, then
  if (!RegisterWaitForSingleObject(&wait_, process_.get(), &ProcessEnded, this, INFINITE,
                                   WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
    wait_ = nullptr;
    process_.reset();
  }
}

void Win32ServiceNotifications::Close() {
  if (wait_) {
    // Waits for a callback under way: none runs once this returns.
    UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    wait_ = nullptr;
  }
  process_.reset();
  svc_.reset();
  scm_.reset();
}

int32_t Win32ServiceNotifications::Arm(const std::string& service, std::function<void()> onChange) {
  // Fresh handles every time: after a notification, after a deletion, after the
  // manager reported a lagging client, the old ones are of no more use.
  Close();
  ++request_;
  onChange_ = std::move(onChange);
  scm_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
  if (!scm_) return LastError();
  svc_.reset(OpenServiceW(scm_.get(), Widen(service).c_str(), SERVICE_QUERY_STATUS));
  if (svc_) {
    onService_ = SERVICE_NOTIFYW{};
    onService_.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    onService_.pfnNotifyCallback = &Delivered;
    onService_.pContext = this;
    const DWORD r =
        NotifyServiceStatusChangeW(svc_.get(), SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING, &onService_);
    if (r == ERROR_SUCCESS) {
      WatchProcess();
      return 0;
    }
    svc_.reset();
    // Marked for deletion: wait for its creation instead.
    if (r != ERROR_SERVICE_MARKED_FOR_DELETE) {
      scm_.reset();
      return static_cast<int32_t>(r);
    }
  } else {
    const int32_t err = LastError();
    if (err != ERROR_SERVICE_DOES_NOT_EXIST && err != ERROR_SERVICE_MARKED_FOR_DELETE) {
      scm_.reset();
      return err;
    }
  }
  onManager_ = SERVICE_NOTIFYW{};
  onManager_.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  onManager_.pfnNotifyCallback = &Delivered;
  onManager_.pContext = this;
  const DWORD r = NotifyServiceStatusChangeW(scm_.get(), SERVICE_NOTIFY_CREATED, &onManager_);
  if (r == ERROR_SUCCESS) return 0;
  scm_.reset();
  // Wine answers ERROR_CALL_NOT_IMPLEMENTED here: what fails is watching for a
  // service that does not exist, and that is what the caller hears.
  return ERROR_SERVICE_DOES_NOT_EXIST;
}

void Win32ServiceNotifications::OnMessage(WPARAM wp) {
  if (wp != 0 && wp != request_) return;
  if (onChange_) onChange_();
}

bool Win32Processes::Snapshot(std::vector<ProcessEntry>& out) {
  out.clear();
  UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap) return false;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;  // 568 bytes in this build; the size field must match it
  for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
    out.push_back(ProcessEntry{pe.th32ProcessID, Narrow(pe.szExeFile)});
  return true;
}

uint32_t Win32Processes::WindowProcess(uintptr_t window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(reinterpret_cast<HWND>(window), &pid);
  return pid;
}

void Win32Processes::EnableDebugPrivilege() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
  UniqueKernel token(raw);
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA("", "SeDebugPrivilege", &tp.Privileges[0].Luid)) return;
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof previous, &previous, &length);
}

bool Win32Processes::Terminate(uint32_t id) {
  UniqueKernel process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
  if (!process) return false;
  return TerminateProcess(process.get(), 0) != FALSE;
}

}  // namespace quarn::win
