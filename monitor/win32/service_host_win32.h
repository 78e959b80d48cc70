#pragma once
// The monitor's service host over the service control manager and the event log.
// Requests arrive on the dispatcher thread and are posted to the window, whose
// thread runs the event and then reports the new state to the manager.
#include <windows.h>

#include <mutex>

#include "common/win32/handles.h"
#include "monitor/service_host.h"

namespace quarn::win {

inline constexpr UINT WM_SERVICE_REQUEST = WM_APP + 17;

class Win32ServiceHost final : public ServiceHost {
 public:
  enum Request : WPARAM { kStart = 1, kStop, kPause, kContinue, kFailed };

  // `events` is kept, and called only on the window's thread once it runs.
  Win32ServiceHost(HWND window, ServiceEvents& events);
  ~Win32ServiceHost() override;

  bool Install() override;
  bool Uninstall() override;
  void StartService() override;
  void LogEvent(int32_t eventType, int32_t id, const std::string& message) override;

  // Window thread: runs a request posted by the dispatcher.
  void HandleRequest(WPARAM request);
  // Tells the manager that the service has stopped, when it is connected; a
  // fatal error's number becomes the service-specific exit code.
  void ReportStopped(DWORD errorNumber);
  bool Connected() const { return status_ != nullptr; }

 private:
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI Handler(DWORD control, DWORD type, LPVOID data, LPVOID context);
  static DWORD WINAPI DispatcherThread(LPVOID self);
  // The bodies of ServiceMain and Handler, whose failures go to Fail().
  static void Connect(Win32ServiceHost* self);
  DWORD Control(DWORD control);
  void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0, DWORD specificCode = 0);
  // The manager's threads hand a failure to the window thread, which ends the program.
  void Fail() noexcept;

  HWND window_;
  ServiceEvents& events_;
  std::wstring serviceNameW_;
  SERVICE_STATUS_HANDLE status_ = nullptr;
  std::mutex statusLock_;
  DWORD checkPoint_ = 0;
  DWORD state_ = SERVICE_STOPPED;
  UniqueKernel connected_;  // set once ServiceMain runs
  UniqueKernel stopped_;    // lets ServiceMain return once the service is stopped
  UniqueKernel thread_;
  DWORD dispatcherError_ = NO_ERROR;
};

}  // namespace quarn::win
