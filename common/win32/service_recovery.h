#pragma once
// A second net beside the monitor's watchdog: the service manager itself
// restarts a service whose process dies, after 5 s, then 30 s, then every
// 60 s; the count starts again after a day without a failure. Set wherever a
// service of the suite is created (the installer, the MSI package, -install).
// The handle needs SERVICE_CHANGE_CONFIG and SERVICE_START.
#include <windows.h>

namespace quarn::win {

inline bool SetRestartOnFailure(SC_HANDLE service) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

}  // namespace quarn::win
