// The monitor running as a real service keeps the backup service alive.
#include <gtest/gtest.h>
#include <algorithm>
#include <windows.h>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;

DWORD BackupPid() { return ServicePid(kBackupService); }

// The suite in one folder: the backup service (with a heartbeat every 10 min, so
// that a deleted heartbeat stays missing) and the monitor built with a 10 ms
// update timer, both registered as services, the monitor started.
struct WatchdogUnderWine : ::testing::Test {
  std::wstring folder;
  void SetUp() override {
    RemoveService(kMonitorService);
    RemoveService(kBackupService);
    KillProgram(L"QuarnSQLServiceMonitor.exe");
    KillProgram(L"QuarnSQLService.exe");
    folder = FreshFolder(L"watchdog suite");
    CopyProgram(L"QuarnSQLService.exe", folder);
    CopyHelper(L"QuarnSQLServiceMonitorFastTimer.exe", folder + L"\\QuarnSQLServiceMonitor.exe");
    ASSERT_EQ(CreateOwnService(kBackupService, L"\"" + folder + L"\\QuarnSQLService.exe\" /heartbeat-seconds=600"), 0u);
    ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\""), 0u);
    ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
    ASSERT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_RUNNING; }, 20000));
  }
  void TearDown() override {
    RemoveService(kMonitorService);
    RemoveService(kBackupService);
  }
};

TEST_F(WatchdogUnderWine, AStoppedBackupServiceRunsAgainWithinAboutASecond) {
  // Never started by anyone: the first watchdog ticks start it.
  ASSERT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 10000));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(ControlService(kBackupService, SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(WaitFor([] { return ServiceState(kBackupService) != SERVICE_RUNNING; }, 5000));
    // About a second; the benchmark measures it, the test only bounds it.
    ASSERT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 10000)) << "stop " << i;
  }
}

TEST_F(WatchdogUnderWine, TheServiceManagersNotificationRestartsTheBackupServiceWithoutThePoll) {
  RemoveService(kMonitorService);
  KillProgram(L"QuarnSQLServiceMonitor.exe");
  // The test build's "-notified-only": the watchdog's timer first ticks ten
  // minutes on, so every start below came from a notification.
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\" -notified-only"), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_RUNNING; }, 20000));
  ASSERT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 60000));
  for (int i = 0; i < 4; ++i) {
    // Stopped, then killed: the manager tells of no killed process, its handle does.
    const DWORD before = BackupPid();
    if (i % 2 == 0) {
      ASSERT_EQ(ControlService(kBackupService, SERVICE_CONTROL_STOP), 0u);
    } else {
      win::UniqueKernel p(OpenProcess(PROCESS_TERMINATE, FALSE, before));
      ASSERT_TRUE(p && TerminateProcess(p.get(), 1));
    }
    ASSERT_TRUE(WaitFor(
        [&] {
          const DWORD now = BackupPid();
          return now != 0 && now != before && ServiceState(kBackupService) == SERVICE_RUNNING;
        },
        60000))
        << (i % 2 == 0 ? "stop " : "kill ") << i;
  }
  EXPECT_FALSE(Exists(folder + L"\\ErrorQuarn.ini"));  // every request was armed
}

// A backup service that ends as soon as it starts: five starts at once, then
// each waits twice as long as the one before, and the logs say so in a few lines.
TEST_F(WatchdogUnderWine, AServiceThatEndsAtOnceIsStartedWithGrowingPatience) {
  RemoveService(kMonitorService);
  KillProgram(L"QuarnSQLServiceMonitor.exe");
  RemoveService(kBackupService);
  KillProgram(L"QuarnSQLService.exe");
  ASSERT_TRUE(WaitFor([] { return !ServiceExists(kBackupService); }, 10000));
  const std::wstring starts = folder + L"\\QuarnSQLService.exe.starts";
  CopyHelper(L"QuarnDummyServiceRefusing.exe", folder + L"\\QuarnSQLService.exe");
  ASSERT_EQ(CreateOwnService(kBackupService, L"\"" + folder + L"\\QuarnSQLService.exe\""), 0u);
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\""), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  const std::wstring metrics = folder + L"\\Logs\\quarn_sql.prom";
  // Waits of 1, 2, 4 and 8 s are behind it once the wait reads 16 s.
  ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(metrics).find("quarn_watchdog_backoff_seconds 16\n") !=
                                   std::string::npos; },
                      90000))
      << ReadFileBytes(metrics);
  const std::string log = ReadFileBytes(starts);
  const size_t count = static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  EXPECT_GE(count, 9u);
  EXPECT_LE(count, 10u);
  EXPECT_NE(ReadFileBytes(metrics).find("quarn_backup_service_crash_loop 1\n"), std::string::npos);
  const std::string general = ReadFileBytes(folder + L"\\Logs\\LogGeralMonitor.INI");
  EXPECT_NE(general.find("cada novo in\xED" "cio espera o dobro do anterior"), std::string::npos) << general;
  EXPECT_LT(general.size() + ReadFileBytes(folder + L"\\ErrorQuarn.ini").size(), 4096u);
}

TEST_F(WatchdogUnderWine, AMissingHeartbeatRestartsTheBackupService) {
  ASSERT_TRUE(WaitFor([] { return BackupPid() != 0; }, 10000));
  const DWORD before = BackupPid();
  const std::wstring heartbeat = folder + L"\\Logs\\QuarnSQLServiceExecuting.ini";
  ASSERT_TRUE(WaitFor([&] { return Exists(heartbeat); }, 10000));
  DeleteFileW(heartbeat.c_str());
  // The next heartbeat check (1200 ticks of 10 ms here) stops and starts it.
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = BackupPid();
        return now != 0 && now != before;
      },
      90000));
  EXPECT_TRUE(WaitFor([&] { return Exists(heartbeat); }, 10000));
  EXPECT_TRUE(Exists(folder + L"\\Logs\\QuarnSQLServiceMonitorExecuting.ini"));
  EXPECT_FALSE(Exists(folder + L"\\Logs\\QuarnSQLServiceMonitorEmUso.ti"));
}

TEST_F(WatchdogUnderWine, AFreshInUseMarkerHoldsStartUpUntilItGoes) {
  RemoveService(kMonitorService);
  KillProgram(L"QuarnSQLServiceMonitor.exe");
  const std::wstring marker = folder + L"\\Logs\\QuarnSQLServiceEmUso.ti";
  win::Win32FileSystem fs;
  win::Win32Clock clock;
  win::Win32DateFormat dates;
  fs.WriteAll(win::Narrow(marker), dates.GeneralDate(clock.Now()) + "\r\n");
  DeleteFileW((folder + L"\\Logs\\QuarnSQLServiceMonitorEmUso.ti").c_str());
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\""), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  // The service runs and the watchdog works while start-up waits.
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_RUNNING; }, 20000));
  Sleep(1500);
  EXPECT_TRUE(Exists(marker));
  EXPECT_FALSE(Exists(folder + L"\\Logs\\QuarnSQLServiceMonitorEmUso.ti"));
  DeleteFileW(marker.c_str());
  // The update check then runs under the monitor's own marker, which it removes.
  EXPECT_TRUE(WaitFor([&] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 10000));
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_STOP), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_STOPPED; }, 15000));
}

// Written before a clock was set back: the marker and its file time lie ahead
// of the clock. It holds neither start-up nor the check, and is removed.
TEST_F(WatchdogUnderWine, AnInUseMarkerDatedAheadOfTheClockHoldsNothing) {
  RemoveService(kMonitorService);
  KillProgram(L"QuarnSQLServiceMonitor.exe");
  const std::wstring marker = folder + L"\\Logs\\QuarnSQLServiceEmUso.ti";
  win::Win32FileSystem fs;
  fs.WriteAll(win::Narrow(marker), "01/01/2099 00:00:00\r\n");
  {
    win::UniqueFile f(
        CreateFileW(marker.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    SYSTEMTIME st{2099, 1, 0, 1, 0, 0, 0, 0};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    ASSERT_TRUE(SetFileTime(f.get(), nullptr, nullptr, &ft));
  }
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\""), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  EXPECT_TRUE(WaitFor([&] { return !Exists(marker); }, 20000)) << "a marker from the future held start-up";
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_STOP), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_STOPPED; }, 15000));
}

}  // namespace
}  // namespace quarn
