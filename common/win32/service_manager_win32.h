#pragma once
// The service manager and the process list of the local machine.
#include <windows.h>

#include <functional>

#include "common/process_control.h"
#include "common/service_control.h"
#include "common/service_notifications.h"
#include "common/win32/handles.h"

namespace quarn::win {

class Win32ServiceManager final : public ServiceManager {
 public:
  [[nodiscard]] int32_t Status(const std::string& name) override;
  [[nodiscard]] int32_t ReadAccount(const std::string& name, std::string& account) override;
  [[nodiscard]] int32_t Create(const ServiceSpec& wanted) override;
  [[nodiscard]] int32_t Remove(const std::string& name) override;
  [[nodiscard]] int32_t Start(const std::string& name) override;
  [[nodiscard]] int32_t Stop(const std::string& name) override;
  [[nodiscard]] bool Disabled(const std::string& name) override;
  [[nodiscard]] std::optional<uint32_t> ProcessId(const std::string& name) override;
  std::string LogonDomain() override;
};

// NotifyServiceStatusChangeW on the window thread: the service manager queues
// an APC to the thread that asked, run while it waits alertably; the APC posts
// `message` to the window, whose procedure calls OnMessage, so that the change
// is handled as any other event, errors included. The handles stay open while
// a request is pending (closing them cancels it). Beside it, the service's
// process, opened for synchronize, is waited on by the thread pool: the
// manager brings no word of a process that was killed.
class Win32ServiceNotifications final : public ServiceChangeNotifications {
 public:
  Win32ServiceNotifications(HWND window, UINT message) : window_(window), message_(message) {}
  ~Win32ServiceNotifications() override { Close(); }
  [[nodiscard]] int32_t Arm(const std::string& service, std::function<void()> onChange) override;
  // `wp`: the request the word belongs to (0, the manager's): an earlier
  // request's process is no news.
  void OnMessage(WPARAM wp);
  bool WatchingProcess() const { return wait_ != nullptr; }

 private:
  static void CALLBACK Delivered(void* notify);
  static void CALLBACK ProcessEnded(void* self, BOOLEAN timedOut);
  void WatchProcess();
  void Close();
  HANDLE wait_ = nullptr;
  UniqueKernel process_;
  WPARAM request_ = 0;
  HWND window_;
  UINT message_;
  UniqueServiceHandle svc_;
  UniqueServiceHandle scm_;
  SERVICE_NOTIFYW onService_{};
  SERVICE_NOTIFYW onManager_{};
  std::function<void()> onChange_;
};

class Win32Processes final : public ProcessPort {
 public:
  bool Snapshot(std::vector<ProcessEntry>& out) override;
  uint32_t WindowProcess(uintptr_t window) override;
  void EnableDebugPrivilege() override;
  bool Terminate(uint32_t id) override;
};

}  // namespace quarn::win
