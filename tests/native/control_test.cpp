#include <gtest/gtest.h>

#include "fakes/control_fakes.h"

namespace quarn {
namespace {

TEST(AccountRule, LocalSystemAndQualifiedNamesStayAsTheyAre) {
  EXPECT_EQ(QualifyAccount("LocalSystem", "EMPRESA"), "LocalSystem");
  EXPECT_EQ(QualifyAccount("EMPRESA\\backup", "OUTRA"), "EMPRESA\\backup");
  EXPECT_EQ(QualifyAccount(".\\backup", ""), ".\\backup");
}

TEST(AccountRule, OtherNamesTakeTheLogonDomainOrAFullStop) {
  EXPECT_EQ(QualifyAccount("backup", "EMPRESA"), "EMPRESA\\backup");
  EXPECT_EQ(QualifyAccount("backup", ""), ".\\backup");
  // The comparison with LocalSystem is case-sensitive.
  EXPECT_EQ(QualifyAccount("localsystem", "EMPRESA"), "EMPRESA\\localsystem");
  EXPECT_EQ(QualifyAccount("LOCALSYSTEM", ""), ".\\LOCALSYSTEM");
}

TEST(ServicePath, QuotedOnlyWhenItHoldsASpace) {
  const struct {
    const char* folder;
    const char* file;
    const char* path;
  } rows[] = {
      {"C:\\Solvane\\Quarn SQL\\", "QuarnSQLService.exe", "\"C:\\Solvane\\Quarn SQL\\QuarnSQLService.exe\""},
      {"C:\\Solvane\\QuarnSQL", "QuarnSQLService.exe", "C:\\Solvane\\QuarnSQL\\QuarnSQLService.exe"},
      {"", "QuarnSQLService.exe", "QuarnSQLService.exe"},
      // The monitor installing itself passes its whole module path.
      {"", "C:\\Solvane\\Quarn SQL\\QuarnSQLServiceMonitor.exe",
       "\"C:\\Solvane\\Quarn SQL\\QuarnSQLServiceMonitor.exe\""},
      {"", "\"C:\\Solvane\\Quarn SQL\\QuarnSQLServiceMonitor.exe\"",
       "\"C:\\Solvane\\Quarn SQL\\QuarnSQLServiceMonitor.exe\""},
      {"", "C:\\Quarn SQL\\a b\\x.exe", "\"C:\\Quarn SQL\\a b\\x.exe\""},
  };
  for (const auto& r : rows) EXPECT_EQ(ServiceProgramPath(r.folder, r.file), r.path) << r.folder << "|" << r.file;
}

// Both panels (the monitor's and the installer's) take their labels from here.
TEST(PanelLabels, FollowTheServiceAndKeepTheStartCaptionOutsideStoppedAndRunning) {
  const char* const kKeep = nullptr;
  const struct {
    bool installed;
    int32_t state;
    PanelLabels labels;
  } rows[] = {
      {false, kServiceUnknown, {"Install Service", true, kKeep, false}},
      {false, kServiceRunning, {"Install Service", true, kKeep, false}},
      {true, kServiceStopped, {"Uninstall Service", true, "Start Service", true}},
      {true, kServiceRunning, {"Uninstall Service", false, "Stop Service", true}},
      {true, kServiceUnknown, {"Uninstall Service", false, kKeep, false}},
      {true, kServiceStartPending, {"Uninstall Service", false, kKeep, false}},
      {true, kServiceStopPending, {"Uninstall Service", false, kKeep, false}},
      {true, kServiceContinuePending, {"Uninstall Service", false, kKeep, false}},
      {true, kServicePausePending, {"Uninstall Service", false, kKeep, false}},
      {true, kServicePaused, {"Uninstall Service", false, kKeep, false}},
  };
  auto text = [](const char* s) { return s ? std::string(s) : std::string("(kept)"); };
  for (const auto& r : rows) {
    const PanelLabels l = PanelLabelsFor(r.installed, r.state);
    SCOPED_TRACE(std::to_string(r.installed) + "/" + std::to_string(r.state));
    EXPECT_EQ(text(l.installCaption), text(r.labels.installCaption));
    EXPECT_EQ(l.installEnabled, r.labels.installEnabled);
    EXPECT_EQ(text(l.startCaption), text(r.labels.startCaption));
    EXPECT_EQ(l.startEnabled, r.labels.startEnabled);
  }
}

struct InstallerControl : ::testing::Test {
  fakes::FakeServiceManager scm;
  InstallerServiceControl ctl{scm};
  InstallerControl() {
    ctl.PastaService = "C:\\Solvane\\Quarn SQL\\";
    ctl.ContaService = "LocalSystem";
  }
};

TEST_F(InstallerControl, SelectionChoosesTheNamesAndAnUnknownIndexKeepsThePrevious) {
  ctl.SelecionarService(1);
  EXPECT_EQ(ctl.NomeService, "QuarnSQLServiceMonitor");
  EXPECT_EQ(ctl.NomeExibicao, "QuarnSQLServiceMonitor");
  EXPECT_EQ(ctl.ArquivoService, "QuarnSQLServiceMonitor.exe");
  ctl.SelecionarService(2);
  ctl.SelecionarService(-1);
  EXPECT_EQ(ctl.NomeService, "QuarnSQLServiceMonitor");
  ctl.SelecionarService(0);
  EXPECT_EQ(ctl.NomeService, "QuarnSQLService");
  EXPECT_EQ(ctl.ArquivoService, "QuarnSQLService.exe");
}

TEST_F(InstallerControl, InstallCreatesUnderTheAccountWithAQuotedPathAndNoPassword) {
  EXPECT_EQ(ctl.InstalarService(1), 0);
  const auto* s = scm.Find("QuarnSQLServiceMonitor");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->displayName, "QuarnSQLServiceMonitor");
  EXPECT_EQ(s->programPath, "\"C:\\Solvane\\Quarn SQL\\QuarnSQLServiceMonitor.exe\"");
  EXPECT_EQ(s->account, "LocalSystem");
  EXPECT_FALSE(s->password.has_value());
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "LogonDomain"), 0);  // not asked for LocalSystem
  // A second install finds it and changes nothing.
  EXPECT_EQ(ctl.InstalarService(1), fakes::kErrServiceExists);
  EXPECT_EQ(scm.services.size(), 1u);
}

TEST_F(InstallerControl, AnAccountReadBackIsUsedAndQualified) {
  scm.domain = "EMPRESA";
  scm.Add("QuarnSQLService").account = "backup";
  ctl.SelecionarService(0);
  EXPECT_EQ(ctl.LerContaService(), 0);
  EXPECT_EQ(ctl.ContaService, "backup");
  EXPECT_EQ(ctl.RemoverService(0), 0);
  EXPECT_EQ(ctl.InstalarService(0), 0);
  EXPECT_EQ(ctl.ContaService, "EMPRESA\\backup");
  EXPECT_EQ(scm.Find("QuarnSQLService")->account, "EMPRESA\\backup");
}

TEST_F(InstallerControl, AMissingServiceGivesTheManagersCodeAndLeavesTheAccount) {
  ctl.SelecionarService(0);
  EXPECT_EQ(ctl.StatusService(), 0);
  EXPECT_EQ(ctl.LerContaService(), fakes::kErrServiceDoesNotExist);
  EXPECT_EQ(ctl.ContaService, "LocalSystem");
  EXPECT_EQ(ctl.IniciarService(0), fakes::kErrServiceDoesNotExist);
  EXPECT_EQ(ctl.PararService(0), fakes::kErrServiceDoesNotExist);
  EXPECT_EQ(ctl.RemoverService(0), fakes::kErrServiceDoesNotExist);
}

TEST_F(InstallerControl, StartStopAndStateFollowTheService) {
  ASSERT_EQ(ctl.InstalarService(0), 0);
  EXPECT_EQ(ctl.StatusService(), kServiceStopped);
  EXPECT_EQ(ctl.IniciarService(0), 0);
  EXPECT_EQ(ctl.StatusService(), kServiceRunning);
  EXPECT_NE(ctl.IniciarService(0), 0);
  EXPECT_EQ(ctl.PararService(0), 0);
  EXPECT_EQ(ctl.StatusService(), kServiceStopped);
  EXPECT_NE(ctl.PararService(0), 0);
  // Status acts on the last selection, whichever operation made it.
  EXPECT_EQ(ctl.InstalarService(1), 0);
  EXPECT_EQ(ctl.IniciarService(1), 0);
  EXPECT_EQ(ctl.StatusService(), kServiceRunning);
}

TEST(MonitorControl, ActsOnTheBackupServiceWithTheWindowsAccountAndPassword) {
  fakes::FakeServiceManager scm;
  scm.domain = "";
  std::string account = "operador", password = "s3nha";
  MonitorServiceControl ctl(scm, account, password, "C:\\Solvane\\Quarn SQL");
  EXPECT_EQ(ctl.StatusService(), 0);
  EXPECT_EQ(ctl.InstalarService(), 0);
  EXPECT_EQ(account, ".\\operador");  // written back into the box
  const auto* s = scm.Find("QuarnSQLService");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->programPath, "\"C:\\Solvane\\Quarn SQL\\QuarnSQLService.exe\"");
  EXPECT_EQ(s->password, std::optional<std::string>("s3nha"));
  account = "x";
  EXPECT_EQ(ctl.LerContaService(), 0);
  EXPECT_EQ(account, ".\\operador");
  EXPECT_EQ(ctl.IniciarService(), 0);
  EXPECT_EQ(ctl.StatusService(), kServiceRunning);
  EXPECT_EQ(ctl.RemoverService(), 0);
  EXPECT_EQ(ctl.StatusService(), 0);
}

TEST(LikeMatch, WildcardsOfTheFileNamePattern) {
  EXPECT_TRUE(LikeMatch("QUARNSQLSERVICE.EXE", "QUARNSQLSERVICE.EXE*"));
  EXPECT_TRUE(LikeMatch("QUARNSQLSERVICE.EXE.OLD", "QUARNSQLSERVICE.EXE*"));
  EXPECT_FALSE(LikeMatch("QUARNSQLSERVICEMONITOR.EXE", "QUARNSQLSERVICE.EXE*"));
  EXPECT_TRUE(LikeMatch("A1C", "A#C"));
  EXPECT_FALSE(LikeMatch("ABC", "A#C"));
  EXPECT_TRUE(LikeMatch("ABC", "A?C"));
  EXPECT_TRUE(LikeMatch("ABC", "A[A-C]C"));
  EXPECT_FALSE(LikeMatch("ABC", "A[!B]C"));
  EXPECT_FALSE(LikeMatch("A[C", "A[C"));  // an unclosed list matches nothing
  EXPECT_TRUE(LikeMatch("", "*"));
}

struct ProcessControl : ::testing::Test {
  fakes::FakeProcesses procs;
  FechaExe fecha{procs};
};

TEST_F(ProcessControl, FindsTheFirstProgramWhoseNameBeginsWithTheWantedName) {
  procs.Run("explorer.exe");
  const uint32_t monitor = procs.Run("QuarnSQLServiceMonitor.exe");
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLService.exe"), 0u);
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLServiceMonitor.exe"), monitor);
  const uint32_t upper = procs.Run("QUARNSQLSERVICE.EXE");
  procs.Run("quarnsqlservice.exe");
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLService.exe"), upper);
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLServ"), monitor);  // a prefix suffices
  procs.snapshotFails = true;
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLService.exe"), 0u);
}

TEST_F(ProcessControl, EndingTwoCopiesOneAfterTheOther) {
  const uint32_t first = procs.Run("QuarnSQLMonitor.exe");
  const uint32_t second = procs.Run("QuarnSQLMonitor.exe");
  uintptr_t noWindow = 0;
  uint32_t id = fecha.PegaIdProcesso("QuarnSQLMonitor.exe");
  EXPECT_EQ(id, first);
  EXPECT_TRUE(fecha.FechaProcesso(id, noWindow));
  id = fecha.PegaIdProcesso("QuarnSQLMonitor.exe");
  EXPECT_EQ(id, second);
  EXPECT_TRUE(fecha.FechaProcesso(id, noWindow));
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLMonitor.exe"), 0u);
  EXPECT_FALSE(fecha.FechaProcesso(id, noWindow));  // already gone
}

TEST_F(ProcessControl, AWindowNamesItsProcessAndNothingNamesNothing) {
  const uint32_t loader = procs.Run("LoadWinSolvane.exe");
  procs.windows[0x1234] = loader;
  uint32_t id = 999;
  uintptr_t window = 0x1234;
  EXPECT_TRUE(fecha.FechaProcesso(id, window));
  EXPECT_EQ(id, loader);
  id = 0;
  window = 0;
  EXPECT_FALSE(fecha.FechaProcesso(id, window));
  EXPECT_EQ(procs.privilegeRequests, 1);  // no privilege change for nothing
}

}  // namespace
}  // namespace quarn
