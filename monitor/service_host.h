#pragma once
// The monitor's service host: installs and removes the service, connects the
// running program to the service manager, writes event-log entries and raises
// the manager's requests as events on the window thread.
#include <cstdint>
#include <string>

namespace quarn {

inline constexpr int32_t svcEventError = 1;
inline constexpr int32_t svcEventInformation = 4;
inline constexpr int32_t svcMessageError = 109;
inline constexpr int32_t svcMessageInfo = 110;
inline constexpr int32_t svcCtrlPauseContinue = 2;
inline constexpr int32_t svcCtrlShutdown = 4;
inline constexpr int32_t svcStartAutomatic = 2;

// The four requests, handled on the window thread one at a time.
class ServiceEvents {
 public:
  virtual ~ServiceEvents() = default;
  virtual void NTService1_Start(bool& Success) = 0;
  virtual void NTService1_Stop() = 0;
  virtual void NTService1_Pause(bool& Success) = 0;
  virtual void NTService1_Continue(bool& Success) = 0;
};

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;

  std::string ServiceName;
  std::string DisplayName;
  int32_t StartMode = 0;
  std::string Account;
  std::string Password;
  std::string LoadOrderGroup;
  std::string Dependencies;
  bool Interactive = false;
  bool Debug = false;
  int32_t ControlsAccepted = 0;

  // Registers the running program file as the service. Failures give false.
  virtual bool Install() = 0;
  // Removes the service; raises a VbError when the service cannot be opened.
  virtual bool Uninstall() = 0;
  // Connects to the service manager; raises a VbError when the program was not
  // started by it.
  virtual void StartService() = 0;
  virtual void LogEvent(int32_t eventType, int32_t id, const std::string& message) = 0;
};

}  // namespace quarn
