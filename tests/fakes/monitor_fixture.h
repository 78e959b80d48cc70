#pragma once
// The service monitor on fakes, as its unit tests build it: the suite folder on
// an in-memory drive, the clock at 06/12/2026 05:55:04, a virtual loop, and
// recorders for the host, the shell and the panel.
#include <memory>
#include <string>

#include "common/ansi_text.h"
#include "common/event_loop.h"
#include "common/service_control.h"
#include "common/time_text.h"
#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "monitor/frm_backup.h"
#include "monitor/health_events.h"

namespace quarn::fakes {

// What every part of the monitor is given: the drive, its text and dates, the
// loop and the service host.
struct MonitorBasics {
  MemoryFileSystem fs;
  Cp1252Codec codec;
  FixedClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  RecordingHost host;

  MonitorBasics() {
    fs.AddDir("C:\\Solvane");
    fs.AddDir(kApp);
  }
};

// The monitor's form over those, with scripted markers and checks, the service
// manager's fake and its notifications. The form is built on first use from
// `info`, or again by Build with other ports.
struct MonitorFixture : MonitorBasics {
  RecordingShell shell;
  ScriptedWork work;
  FakeServiceManager scm;
  ServicePanel panel;
  RecordingView view;
  FakeServiceNotifications notes{scm, loop};
  MonitorServiceControl service{scm, panel.txtAccount, panel.txtPassword, kApp};
  ProgramInfo info;
  std::unique_ptr<FrmBackup> form;

  MonitorFixture() {
    fs.Put(kApp + "\\QuarnSQLServiceMonitor.exe", "MZ");
    fs.modified[Key(kApp + "\\QuarnSQLServiceMonitor.exe")] = LocalTime{2026, 11, 30, 14, 2, 7};
    info.appPath = kApp;
    info.exeName = "QuarnSQLServiceMonitor";
    shell.onEnd = [this] { loop.EndProgram(); };
  }
  // A new form from `info`, the old one gone first; told of the backup
  // service's changes by `notifications` when given, else polling.
  FrmBackup& Build(ServiceChangeNotifications* notifications = nullptr,
                   MonitorObserver& observer = MonitorObserver::None()) {
    form.reset();
    form = std::make_unique<FrmBackup>(MonitorPorts{fs, codec, clock, dates, loop, host, shell, work, work, service,
                                                    panel, view, observer, notifications},
                                       info);
    return *form;
  }
  FrmBackup& Form() { return form ? *form : Build(); }
};

}  // namespace quarn::fakes
