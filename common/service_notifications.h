#pragma once
// Word from the service manager that a service changed, so that the watchdog
// acts on a stop at once instead of at its next tick.
#include <cstdint>
#include <functional>
#include <string>

namespace quarn {

class ServiceChangeNotifications {
 public:
  virtual ~ServiceChangeNotifications() = default;
  // Asks to be told once when the service stops or is marked for deletion or,
  // while it does not exist, when a service is created; replaces any request
  // still pending. `onChange` runs later on the window thread, as an event.
  // A service already stopped is told at once. Returns 0, or the Windows error
  // of the call that failed (then nothing is pending): 1060 (the service does
  // not exist) when the service is missing and its creation cannot be watched.
  [[nodiscard]] virtual int32_t Arm(const std::string& service, std::function<void()> onChange) = 0;
};

}  // namespace quarn
