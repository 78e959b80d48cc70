#pragma once
// A second net beside the monitor's watchdog: the service manager itself
// restarts a service whose process dies, after 5 s, then 30 s, then every
// 60 s; the count starts again after a day without a failure. A service that
// ends with an error of its own (the monitor, after a failure that ended it)
// is restarted the same way; one stopped by an administrator ends without
// one, and is left stopped. Set wherever a service of the suite is created
// (the installer, the MSI package, -install, a repair). The handle needs
// SERVICE_CHANGE_CONFIG and SERVICE_START.
#include <windows.h>

namespace quarn::win {

inline bool SetRestartOnFailure(SC_HANDLE service) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) return false;
  SERVICE_FAILURE_ACTIONS_FLAG nonCrash{};
  nonCrash.fFailureActionsOnNonCrashFailures = TRUE;
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash) != FALSE;
}

}  // namespace quarn::win
