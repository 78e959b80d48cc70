#pragma once
// Stopping the backup service so that its files may be touched: the stop is
// asked for, then waited for, bounded, until the service is stopped and its
// process is gone (a service may report stopped while its process still
// holds its files); past the bound the process is ended and waited for a
// short while more. The heartbeat's restart and an update both stop it here.
#include <cstdint>

#include "common/event_loop.h"
#include "common/process_control.h"
#include "common/service_control.h"

namespace quarn {

struct ServiceStopPorts {
  MonitorServiceControl& service;
  FechaExe& fecha;
  EventLoop& loop;
};

inline constexpr int kServiceStopPollMs = 50;
// After the process was ended: within the service manager's stop hint.
inline constexpr uint64_t kServiceEndedWaitMs = 5 * 1000;

// True once the service is stopped and its process gone. With `ending` the
// waits let no event run (the monitor is on its way out).
bool PararServiceEAguardar(ServiceStopPorts p, uint64_t limitMs, bool ending);

}  // namespace quarn
