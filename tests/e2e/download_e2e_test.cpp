// The monitor's downloads under Wine, each case on an installation at rest
// (EnsureSuiteInstalled): a build trickling in never holds up the watchdog or
// a service stop, a download gives up at its deadline, redirects are followed
// and an oversized answer is refused before anything is written.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "suite_helpers.h"
#include "win/win_test_util.h"

namespace quarn::e2e {
namespace {

using namespace quarn::wintest;
using win::UniqueKernel;

const std::wstring kArchive = kSuite + L"\\temp\\QuarnSQLService.zip";
// About 4 KB/s: the backup service's build takes some tens of seconds to come in.
constexpr char kTrickle[] = "trickle:1024:250";

// The red report of a failed update of the backup service, or "".
std::string RedFailure() {
  std::vector<int> colors;
  const auto lines = LogMessages(kFormatted, &colors);
  for (size_t i = 0; i < lines.size(); ++i)
    if (colors[i] == 255 && lines[i].rfind("Update Sistema QuarnSQLService ", 0) == 0) return lines[i];
  return "";
}

void SetTestDeadline(DWORD ms) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  if (ms)
    RegSetValueExW(key, L"TestDownloadDeadlineMs", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms), sizeof ms);
  else
    RegDeleteValueW(key, L"TestDownloadDeadlineMs");
  RegCloseKey(key);
}

struct Download : ::testing::Test {
  static void TearDownTestSuite() {
    Fault("", "");
    if (Env("QUARN_E2E_KEEP") != "1") EndSuite();
  }
  void SetUp() override { ASSERT_TRUE(EnsureSuiteInstalled()); }
  void TearDown() override { Fault("", ""); }
  // Restarts the monitor with the backup service's build trickling in, and
  // waits until its download has begun.
  ::testing::AssertionResult StartTrickledUpdate(const std::string& build) {
    PublishService(build, nullptr);
    Fault("QuarnSQLService.zip", kTrickle);
    if (!StopMonitor()) return ::testing::AssertionFailure() << "the monitor did not stop";
    DeleteFileW(kFormatted.c_str());
    if (StartServiceByName(kMonitor) != 0) return ::testing::AssertionFailure() << "the monitor did not start";
    if (!WaitFor([] { return Reported("Baixando Serviço QuarnSQLService para atualização..."); }, 60000))
      return ::testing::AssertionFailure() << "no download began";
    return ::testing::AssertionSuccess();
  }
};

TEST_F(Download, ASlowBuildHoldsUpNeitherTheWatchdogNorTheMonitorsStop) {
  const std::string running = BuildOnDisk(kBackupExe);
  ASSERT_TRUE(StartTrickledUpdate("7.0"));
  ASSERT_TRUE(WaitFor([] { return ServicePid(kBackup) != 0; }, 10000));
  const DWORD before = ServicePid(kBackup);
  UniqueKernel net = Launch(L"C:\\windows\\system32\\net.exe", L"stop QuarnSQLService");
  ASSERT_TRUE(net);
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(kBackup);
        return now != 0 && now != before;
      },
      15000));
  const ULONGLONG took = GetTickCount64() - t0;
  WaitExit(net.get(), 10000);
  std::printf("net stop during a download: running again %.2f s after the stop was asked for\n", took / 1000.0);
  EXPECT_FALSE(Reported("QuarnSQLService baixado com sucesso.")) << "the download was over too soon to tell";

  // The monitor's own stop ends the download, with the backup service running its whole old build.
  const ULONGLONG s0 = GetTickCount64();
  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 20000));
  std::printf("monitor stop during a download: stopped after %.2f s\n", (GetTickCount64() - s0) / 1000.0);
  EXPECT_NE(ServicePid(kBackup), 0u);
  EXPECT_EQ(BuildOnDisk(kBackupExe), running);
  EXPECT_FALSE(Exists(kArchive)) << "a partial archive was left";

  Fault("", "");
  ASSERT_TRUE(StartMonitorAndCheck(90000));
  EXPECT_EQ(BuildOnDisk(kBackupExe), "7.0");
  ExpectInvariant("after a stop during a download");
}

TEST_F(Download, ADownloadGivesUpAtItsDeadlineAndReplacesNothing) {
  // The monitor's test build honours a shorter deadline from the registry.
  const std::wstring installed = kSuite + L"\\QuarnSQLServiceMonitor.EXE";
  const std::wstring saved = L"C:\\Instalador\\QuarnSQLServiceMonitor.antes-do-prazo";
  ASSERT_TRUE(StopMonitor());
  ASSERT_TRUE(CopyOver(installed, saved));
  ASSERT_TRUE(CopyOver(TestsFolder() + L"\\QuarnSQLServiceMonitorFastTimer.exe", installed));
  struct Restore {
    std::wstring installed, saved;
    ~Restore() {
      SetTestDeadline(0);
      Fault("", "");
      StopMonitor();
      EXPECT_TRUE(CopyOver(saved, installed));
      EXPECT_TRUE(StartMonitorAndCheck(90000));
    }
  } restore{installed, saved};
  SetTestDeadline(5000);

  const std::string running = BuildOnDisk(kBackupExe);
  const ULONGLONG t0 = GetTickCount64();
  ASSERT_TRUE(StartTrickledUpdate("7.1"));
  ASSERT_TRUE(WaitFor([] { return !RedFailure().empty(); }, 30000)) << "no failure reported";
  std::printf("deadline of 5 s: gave up %.1f s after the monitor's start: %s\n", (GetTickCount64() - t0) / 1000.0,
              RedFailure().c_str());
  EXPECT_NE(RedFailure().find("35761-O download excedeu o tempo máximo de 5 s"), std::string::npos) << RedFailure();
  EXPECT_TRUE(WaitFor(CheckDone, 30000));
  EXPECT_EQ(BuildOnDisk(kBackupExe), running);
  EXPECT_FALSE(Exists(kArchive));
  ExpectInvariant("after a download past its deadline");
}

TEST_F(Download, ARedirectToAnotherPathIsFollowed) {
  PublishService("7.2", nullptr);
  // The build moved to another folder of the server; the old path points there.
  const std::string moved = "espelho/QuarnSQLService.zip";
  CreateDirectoryA(UpdateServerFile("espelho").c_str(), nullptr);
  PublishFile(moved, ReadFileBytes(win::Widen(UpdateServerFile("QuarnSQLService.zip"))));
  Fault("QuarnSQLService.zip", "redirect:" + moved);
  ASSERT_TRUE(StopMonitor());
  ASSERT_TRUE(StartMonitorAndCheck(90000));
  EXPECT_EQ(RedFailure(), "");
  EXPECT_EQ(BuildOnDisk(kBackupExe), "7.2");
  ExpectInvariant("after a redirect");
}

TEST_F(Download, AnOversizedContentLengthIsRefusedBeforeAnythingIsWritten) {
  const std::string running = BuildOnDisk(kBackupExe);
  PublishService("7.3", nullptr);
  Fault("QuarnSQLService.zip", "length:268435457");
  ASSERT_TRUE(StopMonitor());
  ASSERT_TRUE(StartMonitorAndCheck(90000));
  EXPECT_NE(RedFailure().find(" 6-O tamanho anunciado (Content-Length 268435457) excede o limite"), std::string::npos)
      << RedFailure();
  EXPECT_FALSE(Exists(kArchive));
  EXPECT_EQ(BuildOnDisk(kBackupExe), running);
  ExpectInvariant("after an oversized length");
}

}  // namespace
}  // namespace quarn::e2e
