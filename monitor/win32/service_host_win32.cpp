#include "monitor/win32/service_host_win32.h"

#include <tlhelp32.h>

#include <string>

#include "common/service_control.h"
#include "common/win32/event_source.h"
#include "common/win32/service_recovery.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {
Win32ServiceHost* g_host = nullptr;  // one service per process
constexpr DWORD kConnectWaitMs = 30000;

// The service manager starts every service program itself. Asking the
// dispatcher instead is not enough: on some systems it waits for ever on the
// control pipe of whichever service started last.
bool StartedByServiceManager() {
  UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap) return true;  // cannot tell: let the dispatcher decide
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
    if (pe.th32ProcessID == self) parent = pe.th32ParentProcessID;
  for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
    if (pe.th32ProcessID == parent) return lstrcmpiW(pe.szExeFile, L"services.exe") == 0;
  return false;
}
}  // namespace

Win32ServiceHost::Win32ServiceHost(HWND window, ServiceEvents& events)
    : window_(window),
      events_(events),
      connected_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  g_host = this;
}

Win32ServiceHost::~Win32ServiceHost() {
  if (g_host == this) g_host = nullptr;
}

bool Win32ServiceHost::Install() {
  std::string folder, name, full;
  ModulePath(folder, name, &full);
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  DWORD err = NO_ERROR;
  if (!scm) {
    err = GetLastError();
  } else {
    const std::wstring path = Widen(ServiceProgramPath("", full));
    const std::wstring account = Widen(Account), password = Widen(Password);
    const std::wstring group = Widen(LoadOrderGroup), deps = Widen(Dependencies);
    DWORD type = SERVICE_WIN32_OWN_PROCESS | (Interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
    UniqueServiceHandle svc(
        CreateServiceW(scm.get(), Widen(ServiceName).c_str(), Widen(DisplayName).c_str(),
                       SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START, type,
                       static_cast<DWORD>(StartMode), SERVICE_ERROR_NORMAL, path.c_str(),
                       group.empty() ? nullptr : group.c_str(), nullptr, deps.empty() ? nullptr : deps.c_str(),
                       account.empty() ? nullptr : account.c_str(), password.empty() ? nullptr : password.c_str()));
    if (!svc)
      err = GetLastError();
    else
      (void)SetRestartOnFailure(svc.get());
  }
  // Event Viewer reads the entries' texts from the message table in this file.
  if (err == NO_ERROR) err = RegisterMonitorEventSource(Widen(full));
  if (err != NO_ERROR) {
    // The caller does not look at the result; leave a trace for whoever does.
    LogEvent(svcEventError, svcMessageError, "Install: [" + std::to_string(err) + "] " + ErrorDescription(err));
    return false;
  }
  return true;
}

bool Win32ServiceHost::Uninstall() {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) throw Win32Error(GetLastError());
  UniqueServiceHandle svc(OpenServiceW(scm.get(), Widen(ServiceName).c_str(), DELETE));
  if (!svc) throw Win32Error(GetLastError());
  const bool deleted = DeleteService(svc.get()) != FALSE;
  if (deleted) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKeyW, KEY_WOW64_64KEY, 0);
  return deleted;
}

DWORD WINAPI Win32ServiceHost::DispatcherThread(LPVOID p) {
  auto* self = static_cast<Win32ServiceHost*>(p);
  try {
    SERVICE_TABLE_ENTRYW table[] = {{self->serviceNameW_.data(), &Win32ServiceHost::ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
      self->dispatcherError_ = GetLastError();
      return self->dispatcherError_;
    }
  } catch (...) {
    self->Fail();
    return ERROR_INTERNAL_ERROR;
  }
  return NO_ERROR;
}

void Win32ServiceHost::Fail() noexcept { PostMessageW(window_, WM_SERVICE_REQUEST, kFailed, 0); }

void Win32ServiceHost::StartService() {
  if (thread_) return;
  if (!StartedByServiceManager()) throw Win32Error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  serviceNameW_ = Widen(ServiceName);
  thread_.reset(CreateThread(nullptr, 0, &DispatcherThread, this, 0, nullptr));
  if (!thread_) throw Win32Error(GetLastError());
  HANDLE waits[] = {connected_.get(), thread_.get()};
  const DWORD w = WaitForMultipleObjects(2, waits, FALSE, kConnectWaitMs);
  if (w == WAIT_OBJECT_0) return;
  if (w == WAIT_OBJECT_0 + 1) {
    const DWORD err = dispatcherError_ != NO_ERROR ? dispatcherError_ : ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    thread_.reset();
    throw Win32Error(err);
  }
  // The dispatcher neither connected nor failed: leave it, report the time-out.
  throw Win32Error(ERROR_SERVICE_REQUEST_TIMEOUT);
}

void WINAPI Win32ServiceHost::ServiceMain(DWORD, LPWSTR*) {
  Win32ServiceHost* self = g_host;
  if (!self) return;
  try {
    Connect(self);
  } catch (...) {
    self->Fail();
  }
}

void Win32ServiceHost::Connect(Win32ServiceHost* self) {
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerExW(self->serviceNameW_.c_str(), &Handler, self);
  if (!h) {
    self->dispatcherError_ = GetLastError();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(self->statusLock_);
    self->status_ = h;
  }
  self->Report(SERVICE_START_PENDING, NO_ERROR, 30000);
  // Queued before StartService returns, so start-up handles it before its first check.
  PostMessageW(self->window_, WM_SERVICE_REQUEST, kStart, 0);
  SetEvent(self->connected_.get());
  WaitForSingleObject(self->stopped_.get(), INFINITE);
}

DWORD WINAPI Win32ServiceHost::Handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto* self = static_cast<Win32ServiceHost*>(context);
  try {
    return self->Control(control);
  } catch (...) {
    self->Fail();
    return ERROR_INTERNAL_ERROR;
  }
}

DWORD Win32ServiceHost::Control(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      // Windows going down ends the monitor as a stop does: an update under
      // way is brought to a whole build within the stop's bounded waits.
      Report(SERVICE_STOP_PENDING, NO_ERROR, 10000);
      PostMessageW(window_, WM_SERVICE_REQUEST, kStop, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSE_PENDING, NO_ERROR, 10000);
      PostMessageW(window_, WM_SERVICE_REQUEST, kPause, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_CONTINUE_PENDING, NO_ERROR, 10000);
      PostMessageW(window_, WM_SERVICE_REQUEST, kContinue, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void Win32ServiceHost::Report(DWORD state, DWORD exitCode, DWORD waitHint, DWORD specificCode) {
  std::lock_guard<std::mutex> lock(statusLock_);
  if (!status_) return;
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  const bool settled = state == SERVICE_RUNNING || state == SERVICE_PAUSED;
  if (settled) {
    // Shutdown and pre-shutdown always: an update must not be cut by Windows going down.
    s.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    if (ControlsAccepted & svcCtrlPauseContinue) s.dwControlsAccepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  }
  s.dwWin32ExitCode = exitCode;
  s.dwServiceSpecificExitCode = specificCode;
  s.dwCheckPoint = (settled || state == SERVICE_STOPPED) ? 0 : ++checkPoint_;
  s.dwWaitHint = waitHint;
  state_ = state;
  SetServiceStatus(status_, &s);
}

void Win32ServiceHost::HandleRequest(WPARAM request) {
  bool success = false;
  switch (request) {
    case kStart:
      events_.NTService1_Start(success);
      if (success) {
        Report(SERVICE_RUNNING);
      } else {
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
        PostMessageW(window_, WM_CLOSE, 0, 0);
      }
      break;
    case kStop:
      events_.NTService1_Stop();
      break;
    case kPause:
      events_.NTService1_Pause(success);
      Report(success ? SERVICE_PAUSED : SERVICE_RUNNING);
      break;
    case kContinue:
      events_.NTService1_Continue(success);
      Report(success ? SERVICE_RUNNING : SERVICE_PAUSED);
      break;
    case kFailed:
      throw VbError(kErrInternal, "Erro interno na conexão com o gerenciador de serviços");
    default:
      break;
  }
}

void Win32ServiceHost::ReportStopped(DWORD errorNumber) {
  if (!status_) return;
  // ERROR_SERVICE_SPECIFIC_ERROR makes the manager show our number, where any
  // other code would be read as a Windows error of that number.
  if (errorNumber != 0)
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0, errorNumber);
  else
    Report(SERVICE_STOPPED);
  SetEvent(stopped_.get());
  // Give the dispatcher a moment to return before the process goes away.
  if (thread_) WaitForSingleObject(thread_.get(), 5000);
}

void Win32ServiceHost::LogEvent(int32_t eventType, int32_t id, const std::string& message) {
  UniqueEventSource source(RegisterEventSourceW(nullptr, Widen(ServiceName).c_str()));
  if (!source) return;
  const std::wstring text = Widen(message);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source.get(), static_cast<WORD>(eventType), 0, static_cast<DWORD>(id), nullptr, 1, 0, strings, nullptr);
}

}  // namespace quarn::win
