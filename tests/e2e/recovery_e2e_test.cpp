// An update cut off after the new backup service build was put in place but
// before it was recorded, found with that new build already running (as the
// service manager starts it at boot): the monitor's next check stops it, puts
// the recorded build back and starts the service again.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
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

// A build that starts well and stops 15 s after each start: probation (40 s
// here) takes the build before it back, runs it and holds the publication.
TEST_F(Suite, ABuildThatEndsFifteenSecondsAfterItStartsIsRolledBackAndTheOldBuildRuns) {
  const std::string before = Record(L"VersaoQuarnSQLService.ini");
  SetProbationSeconds(40);
  testzip::ZipWriter dying;
  dying.Deflated("QuarnSQLService.exe",
                 Tagged(ReadFileBytes(TestsFolder() + L"\\QuarnDummyServiceDying.exe"), "morre-aos-15"));
  PublishService("morre-aos-15", &dying);
  const ULONGLONG t0 = GetTickCount64();
  ASSERT_TRUE(RestartMonitorAndCheck(150000)) << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
  std::printf("rolled back %.1f s after the check began\n", (GetTickCount64() - t0) / 1000.0);
  SetProbationSeconds(2);
  EXPECT_EQ(BuildOnDisk(kBackupExe), before);
  EXPECT_EQ(Record(L"VersaoQuarnSQLService.ini"), before);
  const std::string errors = win::AcpCodec().FromAnsi(ReadFileBytes(kSuite + L"\\ErrorQuarn.ini"));
  EXPECT_NE(errors.find("Update Sistema QuarnSQLService 7117-O novo build falhou no período de prova: o "
                        "QuarnSQLService morre-aos-15 terminou 2 vezes"),
            std::string::npos)
      << errors;
  EXPECT_NE(ReadFileBytes(kLogs + L"AtualizacoesRetidas.ini").find("QuarnSQLService 0 - 1 "), std::string::npos);
  EXPECT_NE(ReadFileBytes(kLogs + L"quarn_sql.prom").find("quarn_update_held{program=\"QuarnSQLService\"} 1\n"),
            std::string::npos);
  ExpectInvariant("after a build that failed its probation");
}

// A program file removed after its update (a quarantine, a clean-up tool) is
// fetched again at the next check, though the record names its version.
TEST_F(Suite, AProgramFileDeletedAfterItsUpdateIsBackAfterTheNextCheck) {
  PublishService("apagado", nullptr);
  ASSERT_TRUE(RestartMonitorAndCheck());
  ASSERT_EQ(BuildOnDisk(kBackupExe), "apagado");
  ASSERT_TRUE(StopMonitor());
  ControlService(kBackup, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kBackup) == SERVICE_STOPPED; }, 15000));
  ASSERT_TRUE(DeleteFileW(kBackupExe.c_str()));
  ASSERT_TRUE(StartMonitorAndCheck());
  EXPECT_EQ(BuildOnDisk(kBackupExe), "apagado");
  EXPECT_NE(win::AcpCodec()
                .FromAnsi(ReadFileBytes(kSuite + L"\\ErrorQuarn.ini"))
                .find("Verificando QuarnSQLService 7116-Arquivo do build instalado: QuarnSQLService.exe ausente"),
            std::string::npos);
  ExpectInvariant("after the program file was deleted");
}

}  // namespace e2e
}  // namespace quarn
