#pragma once
// The installer on fakes: its window, payload and platform, the service
// manager and the processes of a machine, and a way to build its form.
#include <gtest/gtest.h>

#include "common/single_instance.h"
#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "fakes/installer_fakes.h"
#include "installer/frm_instal.h"
#include "installer/log_view.h"

namespace quarn {

struct Installer : ::testing::Test {
  fakes::MemoryFileSystem fs;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  fakes::FakeInstallerView view;
  fakes::FakePayloadResources resources;
  fakes::FakeInstallerPlatform platform{fs};
  fakes::FakeServiceManager scm;
  InstallerServiceControl control{scm};
  fakes::FakeProcesses procs;
  FechaExe fecha{procs};
  InstallerInfo info{"C:\\Downloads", "InstaladorQuarnSQL"};
  std::unique_ptr<FrmInstal> form;
  const std::string kSuite = "C:\\Solvane\\Quarn SQL";

  Installer() {
    fs.AddDir("C:\\Downloads");
    fs.Put("C:\\Downloads\\InstaladorQuarnSQL.exe", "MZ");
    fs.modified[fakes::Key("C:\\Downloads\\InstaladorQuarnSQL.exe")] = LocalTime{2014, 2, 28, 13, 42, 52};
    platform.onEnd = [this] { loop.EndProgram(); };
    // Services started by the manager run their program.
    platform.onStart = [this](const std::string& path) {
      if (path.find("LoadWinSolvane") != std::string::npos) procs.Run("LoadWinSolvane.EXE");
      if (path.find("QuarnSQLMonitor") != std::string::npos) procs.Run("QuarnSQLMonitor.EXE");
    };
  }
  FrmInstal& Form() {
    if (!form)
      form = std::make_unique<FrmInstal>(
          InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, info);
    return *form;
  }
};

}  // namespace quarn
