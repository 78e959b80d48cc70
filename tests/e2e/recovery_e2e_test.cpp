// An update cut off after the new backup service build was put in place but
// before it was recorded, found with that new build already running (as the
// service manager starts it at boot): the monitor's next check stops it, puts
// the recorded build back and starts the service again.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/win32/win_platform.h"
#include "e2e/suite_helpers.h"
#include "win/win_test_util.h"

namespace quarn {
namespace e2e {
namespace {

using namespace quarn::wintest;
using win::Narrow;

const std::wstring kTemp = kSuite + L"\\temp\\";

}  // namespace

TEST_F(Suite, ACutUpdateWhoseNewBuildAlreadyRunsIsRolledBackAtTheNextCheck) {
  const std::wstring aside = kTemp + L"QuarnSQLService.anterior";
  const std::string recorded = Record(L"VersaoQuarnSQLService.ini");
  ASSERT_EQ(BuildOnDisk(kBackupExe), recorded);

  ASSERT_TRUE(StopMonitor());
  ControlService(kBackup, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kBackup) == SERVICE_STOPPED; }, 15000));
  // What the update leaves between moving the new build in and recording it.
  CreateDirectoryW(aside.c_str(), nullptr);
  ASSERT_TRUE(MoveFileExW(kBackupExe.c_str(), (aside + L"\\QuarnSQLService.EXE").c_str(), MOVEFILE_REPLACE_EXISTING));
  win::Win32FileSystem fs;
  fs.WriteAll(Narrow(kBackupExe), Tagged(ServiceProgram(), "9.9"));
  fs.WriteAll(Narrow(kTemp + L"QuarnSQLService.pendente"), "9.9\r\n" + recorded + "\r\n=QuarnSQLService.EXE\r\n.\r\n");
  // The service manager starts what is there: the new build runs.
  ASSERT_EQ(StartServiceByName(kBackup), 0u);
  ASSERT_TRUE(WaitFor([] { return ServicePid(kBackup) != 0; }, 10000));
  const DWORD newBuild = ServicePid(kBackup);

  ASSERT_TRUE(StartMonitorAndCheck());
  EXPECT_EQ(BuildOnDisk(kBackupExe), recorded);
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(kBackup);
        return now != 0 && now != newBuild;
      },
      10000));
  EXPECT_FALSE(Exists(aside));
  bool restored = false;
  for (const auto& m : LogMessages(kFormatted)) restored |= m == "Versão anterior do QuarnSQLService restaurada.";
  EXPECT_TRUE(restored);
  ExpectInvariant("after a cut update with the new build running");
}

}  // namespace e2e
}  // namespace quarn
