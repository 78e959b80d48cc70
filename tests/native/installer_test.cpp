#include <gtest/gtest.h>

#include "common/single_instance.h"
#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "fakes/installer_fakes.h"
#include "installer/frm_instal.h"
#include "installer/log_view.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn {
namespace {

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

TEST(InstallerLayout, TheWindowSpansTheScreenAndThePanelsAreCentred) {
  const InstallerLayout l = LayoutFor(1920, 1080, 96, 16, 39);
  EXPECT_EQ(l.windowX, 0);
  EXPECT_EQ(l.windowW, 1920);  // 28800 twips
  EXPECT_EQ(l.windowH, 300);   // 4500 twips
  EXPECT_EQ(l.windowY, 540 - 150);
  EXPECT_EQ(l.panelW, 715);
  EXPECT_EQ(l.panelH, 261);
  EXPECT_EQ(l.panelX, (1920 - 16) / 2 - 715 / 2);
  EXPECT_EQ(l.panelY, (300 - 39) / 2 - 261 / 2);
  EXPECT_EQ(Twips(735, 96), 49);
  EXPECT_EQ(Twips(735, 144), 74);
}

TEST(InstallerStatusPanel, CaptionsFollowTheServiceAndKeepTheStartCaptionWhilePending) {
  fakes::FakeServiceManager scm;
  InstallerServiceControl ctl{scm};
  StatusPanel panel(ctl);
  panel.AtualizaStatusService(0);
  EXPECT_EQ(panel.Labels(0).installCaption, "Install Service");
  EXPECT_TRUE(panel.Labels(0).installEnabled);
  EXPECT_EQ(panel.Labels(0).startCaption, "Start Service");
  EXPECT_FALSE(panel.Labels(0).startEnabled);
  EXPECT_FALSE(panel.blnServiceInstalado);

  scm.Add("QuarnSQLService", kServiceRunning).account = "LocalSystem";
  panel.AtualizaStatusService(0);
  EXPECT_EQ(panel.Labels(0).installCaption, "Uninstall Service");
  EXPECT_FALSE(panel.Labels(0).installEnabled);
  EXPECT_EQ(panel.Labels(0).startCaption, "Stop Service");
  EXPECT_TRUE(panel.Labels(0).startEnabled);
  scm.Find("QuarnSQLService")->state = kServiceStopPending;
  panel.AtualizaStatusService(0);
  EXPECT_EQ(panel.Labels(0).startCaption, "Stop Service");
  EXPECT_FALSE(panel.Labels(0).startEnabled || panel.Labels(0).installEnabled);

  // The window values describe the service refreshed last.
  scm.Add("QuarnSQLServiceMonitor", kServiceStopped);
  panel.AtualizaStatusService(1);
  EXPECT_TRUE(panel.blnServiceInstalado);
  EXPECT_EQ(panel.lngStatusService, kServiceStopped);
  EXPECT_EQ(panel.Labels(1).startCaption, "Start Service");
  EXPECT_TRUE(panel.Labels(1).installEnabled && panel.Labels(1).startEnabled);
}

TEST(InstallerStatusPanel, ClicksInstallStartStopAndRemove) {
  fakes::FakeServiceManager scm;
  InstallerServiceControl ctl{scm};
  ctl.ContaService = "LocalSystem";
  ctl.PastaService = "C:\\Solvane\\Quarn SQL\\";
  StatusPanel panel(ctl);
  panel.lblInstallMonitorService_Click();
  ASSERT_NE(scm.Find("QuarnSQLServiceMonitor"), nullptr);
  panel.lblStartMonitorService_Click();
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceRunning);
  panel.lblInstallMonitorService_Click();  // disabled while it runs
  EXPECT_NE(scm.Find("QuarnSQLServiceMonitor"), nullptr);
  panel.lblStartMonitorService_Click();
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceStopped);
  panel.lblInstallMonitorService_Click();
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor"), nullptr);
}

TEST_F(Installer, AFreshMachineGetsTheWholeSuite) {
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.version, "Versão revisada: 1.0.27 de 28/02/2014 13:42:52");
  EXPECT_EQ(fs.Get(kSuite + "\\Temp\\LoadWinSolvane.EXE"), "bytes of LOADWINSOLVANE.EXE");
  EXPECT_EQ(platform.started.front(), kSuite + "\\Temp\\LoadWinSolvane.EXE");
  // At start-up for the animation, and again at step 0 after the suite was ended.
  const std::vector<std::string> once = {"C:\\Solvane", "+" + kSuite, kSuite + "\\Temp"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(platform.protectedFolders, twice);
  for (const auto& f : kPayload) EXPECT_TRUE(fs.Has(kSuite + "\\" + f.target)) << f.target;
  EXPECT_TRUE(fs.DirExists(kSuite + "\\Temp"));
  EXPECT_FALSE(fs.Has(kSuite + "\\MYSQL.EXE"));
  EXPECT_EQ(platform.registered,
            (std::vector<std::string>{kSuite + "\\richtx32.ocx", kSuite + "\\NTsvc.ocx", kSuite + "\\Comdlg32.ocx",
                                      kSuite + "\\MSCOMCTL.ocx", kSuite + "\\MSINET.ocx"}));
  for (const char* name : {"QuarnSQLService", "QuarnSQLServiceMonitor"}) {
    const auto* s = scm.Find(name);
    ASSERT_NE(s, nullptr) << name;
    EXPECT_EQ(s->programPath, "\"" + kSuite + "\\" + name + ".exe\"");
    EXPECT_EQ(s->account, "LocalSystem");
    EXPECT_EQ(s->state, kServiceRunning);
  }
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(view.Last(i), StepLook::Done) << i;
    EXPECT_EQ(view.steps[i].back().first, kStepCaptions[i]);
  }
  EXPECT_EQ(platform.started.back(), kSuite + "\\QuarnSQLMonitor.EXE");
  EXPECT_TRUE(view.success);
  EXPECT_TRUE(view.adopted);
  EXPECT_FALSE(view.hostVisible);
  EXPECT_EQ(fecha.PegaIdProcesso("LoadWinSolvane.exe"), 0u);  // ended at the end
  // The pauses: 2000 + 2500 + 4 x 3500 ms.
  EXPECT_GE(loop.TickMs(), 18500u);
  EXPECT_LT(loop.TickMs(), 18500u + 2000u);
  EXPECT_EQ(Form().ExitCode(), kExitOk);
  // Listed for removal by the copy in the protected folder, not the downloaded file.
  const UninstallEntry& e = platform.keys.at(kUninstallKey);
  EXPECT_EQ(fs.Get(kSuite + "\\InstaladorQuarnSQL.exe"), "MZ");
  EXPECT_EQ(e.quietUninstallString, "\"" + kSuite + "\\InstaladorQuarnSQL.exe\" /uninstall /quiet");
  EXPECT_EQ(e.uninstallString, "\"" + kSuite + "\\InstaladorQuarnSQL.exe\" /uninstall");
  EXPECT_EQ(e.installLocation, kSuite);
  EXPECT_EQ(e.displayVersion, "1.0.27");
  EXPECT_EQ(e.estimatedSizeKb, 1u);
  // Enter ends the installer once the success panel shows.
  Form().Form_KeyDown(13);
  EXPECT_EQ(platform.ended, 1);
}

TEST(InstallerVerdict, EveryCombinationOfFailuresGivesTheCodeOfTheFirstAndNamesEachOne) {
  const int codes[] = {kExitFilesNotWritten, kExitServiceNotRunning, kExitMonitorNotRunning, kExitGuiNotStarted,
                       kExitNotListed};
  for (int failed = 0; failed < 32; ++failed) {
    InstallChecks c;
    if (failed & 1) c.notWritten = {"NTsvc.ocx", "AZIP32.DLL"};
    c.serviceRuns = !(failed & 2);
    c.monitorRuns = !(failed & 4);
    c.guiStarted = !(failed & 8);
    c.listed = !(failed & 16);
    const Verdict v = JulgaInstalacao(c);
    int expected = kExitOk, count = 0;
    for (int bit = 0; bit < 5; ++bit)
      if (failed & (1 << bit)) {
        if (!count++) expected = codes[bit];
      }
    EXPECT_EQ(v.exitCode, expected) << failed;
    EXPECT_EQ(static_cast<int>(v.failures.size()), count) << failed;
  }
  InstallChecks files{{"NTsvc.ocx", "AZIP32.DLL"}, {}, true, true, true, true};
  EXPECT_EQ(JulgaInstalacao(files).failures, std::vector<std::string>{"Arquivos não gravados: NTsvc.ocx, AZIP32.DLL."});
}

TEST(InstallerCommandLine, SwitchesInAnyCaseWithSlashOrDashAndBadOnesRefused) {
  const std::string def = "C:\\Temp\\InstaladorQuarnSQL.log";
  struct Row {
    std::vector<std::string> args;
    bool ok, quiet, uninstall, purge;
    std::string log;
  } rows[] = {
      {{}, true, false, false, false, def},
      {{"/quiet"}, true, true, false, false, def},
      {{"/S"}, true, true, false, false, def},
      {{"-Quiet", "/LOG", "D:\\x y.log"}, true, true, false, false, "D:\\x y.log"},
      {{"/uninstall"}, true, false, true, false, def},
      {{"/Uninstall", "-s", "/purge"}, true, true, true, true, def},
      {{"/log"}, false, false, false, false, def},
      {{"/quiet", "/log", ""}, false, false, false, false, def},
      {{"/purge"}, false, false, false, false, def},
      {{"/qn"}, false, false, false, false, def},
      {{"quiet"}, false, false, false, false, def},
      {{"/"}, false, false, false, false, def},
  };
  for (const Row& r : rows) {
    std::string name;
    for (const auto& a : r.args) name += a + " ";
    const CommandLine cl = ParseCommandLine(r.args, def);
    EXPECT_EQ(cl.ok, r.ok) << name;
    if (!r.ok) {
      EXPECT_NE(cl.error.find("Use: InstaladorQuarnSQL.exe"), std::string::npos) << name;
      continue;
    }
    EXPECT_EQ(cl.quiet, r.quiet) << name;
    EXPECT_EQ(cl.uninstall, r.uninstall) << name;
    EXPECT_EQ(cl.purge, r.purge) << name;
    EXPECT_EQ(cl.logPath, r.log) << name;
  }
}

TEST_F(Installer, ASilentRunShowsNothingWaitsForNothingAndLogsWhatItWouldHaveShown) {
  fs.AddDir("C:\\Temp");
  Cp1252Codec codec;
  LogView log(fs, clock, dates, codec, "C:\\Temp\\InstaladorQuarnSQL.log");
  info.quiet = true;
  scm.startPendingQueries = 4;  // a service still starting is waited for, not reported as failed
  FrmInstal f(InstallerPorts{fs, clock, dates, loop, log, resources, platform, control, fecha}, info);
  ASSERT_TRUE(f.Form_Load());
  EXPECT_EQ(f.ExitCode(), kExitOk);
  EXPECT_LT(loop.TickMs(), 1000u);  // none of the 18.5 s of pauses
  EXPECT_EQ(platform.started, std::vector<std::string>{kSuite + "\\QuarnSQLMonitor.EXE"});  // no animation
  const std::string text = Cp1252Codec().FromAnsi(fs.Get("C:\\Temp\\InstaladorQuarnSQL.log"));
  for (const char* line :
       {"06/12/2026 05:55:04 Versão revisada: 1.0.27 de 28/02/2014 13:42:52\r\n", "Extraindo Arquivos. (concluído)\r\n",
        "Quarn Service Monitor Iniciado. (concluído)\r\n", "Quarn SQL Server instalado com sucesso.\r\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST_F(Installer, UninstallRemovesTheSuiteInOrderKeepsLogsUnlessPurgedAndEndsCleanlyWhenRunAgain) {
  ASSERT_TRUE(Form().Form_Load());
  ASSERT_EQ(Form().ExitCode(), kExitOk);
  fs.AddDir(kSuite + "\\Logs");
  fs.Put(kSuite + "\\Logs\\LogGeralMonitor.INI", "log");
  fs.Put(kSuite + "\\Temp\\QuarnSQLService.zip", "download");
  procs.Run("QuarnSQLService.exe");
  scm.calls.clear();
  // Run by the list of installed programs: from the copy in the suite folder.
  InstallerInfo copy{kSuite, "InstaladorQuarnSQL"};
  platform.self = kSuite + "\\InstaladorQuarnSQL.exe";
  auto uninstall = [&](bool purge) {
    FrmInstal f(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, copy);
    return f.Desinstalar(purge);
  };
  EXPECT_EQ(uninstall(false), kExitOk);
  const auto first = [&](const std::string& call) { return std::find(scm.calls.begin(), scm.calls.end(), call); };
  EXPECT_LT(first("Stop QuarnSQLServiceMonitor"), first("Stop QuarnSQLService"));
  EXPECT_TRUE(scm.services.empty());
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLMonitor.exe") + fecha.PegaIdProcesso("QuarnSQLService.exe"), 0u);
  EXPECT_TRUE(platform.registered.empty());
  for (const auto& f : kPayload) EXPECT_FALSE(fs.Has(kSuite + "\\" + f.target)) << f.target;
  EXPECT_FALSE(fs.Has(kSuite + "\\InstaladorQuarnSQL.exe"));
  EXPECT_FALSE(fs.DirExists(kSuite + "\\Temp"));
  EXPECT_TRUE(platform.keys.empty());
  EXPECT_EQ(fs.Get(kSuite + "\\Logs\\LogGeralMonitor.INI"), "log");
  EXPECT_EQ(view.messages.back(),
            "Quarn SQL Server removido. Os registros e os dados do serviço foram mantidos em " + kSuite + ".");
  EXPECT_EQ(uninstall(false), kExitOk);  // nothing left to remove
  EXPECT_EQ(uninstall(true), kExitOk);
  EXPECT_FALSE(fs.DirExists(kSuite));
  EXPECT_EQ(view.messages.back(), "Quarn SQL Server removido.");
}

TEST_F(Installer, AnUninstallThatCannotFinishKeepsItsEntryAndTheCopyThatRunsIt) {
  const std::string copy = kSuite + "\\InstaladorQuarnSQL.exe";
  // Each fault alone, over a fresh installation: the code of its kind, and what stays.
  for (int fault = 0; fault < 3; ++fault) {
    scm.services.clear();
    form.reset();
    view = fakes::FakeInstallerView{};
    ASSERT_TRUE(Form().Form_Load());
    ASSERT_EQ(Form().ExitCode(), kExitOk) << fault;
    if (fault == 0) scm.removeError = 1072;  // marked for deletion, while something holds it open
    if (fault == 1) fs.locked.insert(fakes::Key(kSuite + "\\AUNZIP32.DLL"));
    if (fault == 2) platform.stuckKeys.insert(kControlesKey);
    FrmInstal f(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, info);
    const int expected[] = {kExitServiceNotRemoved, kExitFilesNotRemoved, kExitRegistryNotRemoved};
    EXPECT_EQ(f.Desinstalar(false), expected[fault]) << fault;
    EXPECT_TRUE(fs.Has(copy)) << fault;
    EXPECT_EQ(platform.keys.count(kUninstallKey), 1u) << fault;
    EXPECT_EQ(view.messages.back().rfind("O Quarn SQL Server não foi removido por completo:\r\n", 0), 0u);
    scm.removeError = 0;
    fs.locked.clear();
    platform.stuckKeys.clear();
  }
}

TEST_F(Installer, ASecondRunRepairsWithoutCreatingAnythingTwice) {
  auto& s = scm.Add("QuarnSQLService", kServiceRunning);
  s.account = "LocalSystem";
  scm.Add("QuarnSQLServiceMonitor", kServiceRunning).account = "LocalSystem";
  procs.Run("QuarnSQLService.exe");
  procs.Run("QuarnSQLServiceMonitor.exe");
  procs.Run("QuarnSQLMonitor.exe");
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.steps[2].back().first, "Reparando Serviços do Quarn.");
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Create QuarnSQLService"), 0);
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService"), 1);
  EXPECT_LT(std::find(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLServiceMonitor"),
            std::find(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService"));
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceRunning);
  EXPECT_EQ(view.Last(4), StepLook::Done);
  EXPECT_EQ(view.Last(5), StepLook::Done);
  EXPECT_EQ(procs.terminated.size(), 4u);  // GUI monitor, both services' processes, and the loader at the end
}

TEST_F(Installer, ARewrittenProgramLosesTheVersionRecordOfTheBuildItReplaced) {
  // The monitor had updated both programs; the repair writes this installer's builds.
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.AddDir(kSuite + "\\Logs");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "5.0\r\n");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSqlMonitor.ini", "5.0\r\n");
  fs.Put(kSuite + "\\QuarnSQLMonitor.EXE", "GUI 5.0");
  fs.locked.insert(fakes::Key(kSuite + "\\QuarnSQLMonitor.EXE"));  // and could not be replaced
  platform.keys[kUninstallKey].installLocation = kSuite + "\\";       // the suite's own folder: a repair
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_FALSE(fs.Has(kSuite + "\\Logs\\VersaoQuarnSQLService.ini"));
  EXPECT_EQ(fs.Get(kSuite + "\\Logs\\VersaoQuarnSqlMonitor.ini"), "5.0\r\n");
  EXPECT_FALSE(view.success);  // the GUI monitor running is the old build
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);
}

// An update the monitor was cut in is settled before the repair writes, so
// that the monitor's recovery, at its next start, has nothing left to undo.
TEST_F(Installer, ARepairSettlesAPendingUpdateBeforeItWrites) {
  for (const char* d : {"C:\\Solvane", "C:\\Solvane\\Quarn SQL", "C:\\Solvane\\Quarn SQL\\Logs",
                        "C:\\Solvane\\Quarn SQL\\temp", "C:\\Solvane\\Quarn SQL\\temp\\QuarnSQLService.anterior"})
    fs.AddDir(d);
  const std::string temp = kSuite + "\\temp\\";
  fs.Put(temp + "QuarnSQLService.anterior\\libmysql.dll", "lib 1.0");
  fs.Put(temp + "QuarnSQLService.anterior\\QuarnSQLService.EXE", "svc 1.0");
  fs.Put(kSuite + "\\libmysql.dll", "lib 2.0");
  fs.Put(kSuite + "\\novo.dll", "novo 2.0");
  // The library's copy named by its digest, as the monitor writes it: checked before it goes back.
  fs.Put(temp + "QuarnSQLService.pendente", "2.0\r\n1.0\r\n=libmysql.dll\t" + ToHex(publish::Sha256Of("lib 1.0")) +
                                                "\r\n+novo.dll\r\n=QuarnSQLService.EXE\r\n.\r\nprova\r\n");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "2.0\r\n");
  platform.keys[kUninstallKey].installLocation = kSuite;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(fs.Get(kSuite + "\\libmysql.dll"), "lib 1.0");
  EXPECT_FALSE(fs.Has(kSuite + "\\novo.dll"));
  EXPECT_FALSE(fs.Has(temp + "QuarnSQLService.pendente"));
  EXPECT_TRUE(fs.ListFiles(temp + "QuarnSQLService.anterior").empty());
  EXPECT_EQ(fs.Get(kSuite + "\\QuarnSQLService.EXE"), "bytes of QUARNSQLSERVICE.EXE");  // the repair stays
}

// A folder the suite did not leave (no entry of ours names it, or it was
// opened up) is adopted with nothing but what the suite ships.
TEST_F(Installer, AFolderNotTheSuitesOwnIsEmptiedOfAllItDoesNotShipBeforeAnythingRuns) {
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(kSuite + "\\temp\\QuarnSQLService.anterior\\QuarnSQLService.exe", "planted");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "9.9\r\n");
  fs.Put(kSuite + "\\version.dll", "planted");
  fs.Put(kSuite + "\\AUNZIP32.DLL", "old");
  fs.Put(kSuite + "\\aberto.dll", "held");
  fs.locked.insert(fakes::Key(kSuite + "\\aberto.dll"));
  ASSERT_TRUE(Form().Form_Load());  // no entry of ours names it
  const std::string aside = fakes::Key(kSuite) + ".anterior-20261206-055504";
  for (const char* f : {"\\temp\\quarnsqlservice.anterior\\quarnsqlservice.exe", "\\logs\\versaoquarnsqlservice.ini",
                        "\\version.dll"})
    EXPECT_TRUE(fs.Has(aside + f) && !fs.Has(kSuite + f)) << f;
  EXPECT_EQ(fs.Get(kSuite + "\\AUNZIP32.DLL"), "bytes of AUNZIP32.DLL");  // shipped: written over
  EXPECT_EQ(std::count(platform.closed.begin(), platform.closed.end(), aside), 2);  // made closed, closed again
  // Held open beyond the end of every program: left, named, and nothing starts.
  EXPECT_EQ(fs.Get(kSuite + "\\aberto.dll"), "held");
  EXPECT_EQ(view.failures.front(), "Arquivos que não são do Quarn SQL e não puderam ser movidos: aberto.dll.");
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);
  EXPECT_TRUE(scm.services.empty());
  fs.locked.clear();
  // Listed now, but opened up since: taken over again; listed and closed (by
  // the installer or the package), a repair keeps all.
  platform.package = kSuite + "\\";
  platform.keys.erase(kUninstallKey);
  for (const bool opened : {true, false}) {
    fs.Put(kSuite + "\\outro.dll", "x");
    if (opened) platform.unprotected.insert(fakes::Key(kSuite));
    clock.AddSeconds(1);
    form.reset();
    ASSERT_TRUE(Form().Form_Load());
    platform.unprotected.clear();
    EXPECT_EQ(fs.Has(kSuite + "\\outro.dll"), !opened);
    EXPECT_EQ(fs.Has(fakes::Key(kSuite) + ".anterior-20261206-055505\\outro.dll"), true);
  }
}

TEST_F(Installer, TheMissingServiceTakesTheAccountOfTheExistingOne) {
  scm.Add("QuarnSQLService", kServiceStopped).account = "EMPRESA\\backup";
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->account, "EMPRESA\\backup");
  EXPECT_EQ(scm.Find("QuarnSQLService")->account, "EMPRESA\\backup");  // left as it was
  // The backup service only its own files; the monitor all of Logs.
  const std::string logs = "EMPRESA\\backup " + kSuite + "\\Logs";
  EXPECT_EQ(platform.grants,
            (std::vector<std::string>{logs + " own", logs + "\\QuarnSQLServiceExecuting.ini",
                                      logs + "\\QuarnSQLServiceEmUso.ti", logs + "\\QuarnSQLServiceUltimoBackup.ini",
                                      logs}));
  EXPECT_TRUE(fs.DirExists(kSuite + "\\Logs"));
}

TEST_F(Installer, AServiceThatDoesNotRunEndsRedAndTheFailurePanelNamesIt) {
  scm.Add("QuarnSQLService", kServiceStopped).refusesToStart = true;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.Last(4), StepLook::Failed);
  EXPECT_EQ(view.Last(5), StepLook::Done);
  EXPECT_FALSE(view.success);
  EXPECT_EQ(view.failures, std::vector<std::string>{"O serviço QuarnSQLService não está em execução."});
  EXPECT_EQ(Form().ExitCode(), kExitServiceNotRunning);
  Form().Form_KeyDown(13);  // Enter ends it on the failure panel too
  EXPECT_EQ(platform.ended, 1);
}

TEST_F(Installer, APayloadFileThatCannotBeWrittenIsNamedOnceAndTheRestIsWritten) {
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.AddDir(kSuite + "\\Temp");
  // Files someone else put there and holds open: neither runs nor is registered.
  for (const char* held : {"\\MSCOMCTL.ocx", "\\Temp\\LoadWinSolvane.EXE"}) {
    fs.Put(kSuite + held, "in use");
    fs.locked.insert(fakes::Key(kSuite + held));
  }
  resources.missing.insert("AZIP32.DLL");
  ASSERT_TRUE(Form().Form_Load());
  ASSERT_EQ(view.messages.size(), 4u);
  EXPECT_EQ(view.messages[0], kSuite + "\\Temp\\LoadWinSolvane.EXE\r\n70 - Permissão negada");
  EXPECT_EQ(view.messages[1], kSuite + "\\MSCOMCTL.ocx\r\n70 - Permissão negada");
  EXPECT_EQ(view.messages[2].rfind(kSuite + "\\AZIP32.DLL\r\n1813 - ", 0), 0u);
  EXPECT_EQ(view.messages[3], kSuite +
                                  "\\MSCOMCTL.ocx\r\n70 - O controle não foi registrado: o arquivo não foi "
                                  "gravado nesta instalação.");
  EXPECT_EQ(platform.registered.size(), 4u);
  EXPECT_EQ(std::count(platform.registered.begin(), platform.registered.end(), kSuite + "\\MSCOMCTL.ocx"), 0);
  // A control not this installer's, held where it goes: no program that loads it starts.
  EXPECT_TRUE(platform.started.empty());
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor"), nullptr);
  EXPECT_EQ(view.adoptAttempts, 0);
  EXPECT_TRUE(fs.Has(kSuite + "\\AUNZIP32.DLL"));
  EXPECT_FALSE(view.success);
  EXPECT_EQ(view.failures.front(), "Arquivos não gravados: MSCOMCTL.ocx, AZIP32.DLL.");
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);
}

TEST_F(Installer, AVolumeWithoutPermissionsGetsNothingAndIsNamedInAMessage) {
  platform.acls = false;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.messages, std::vector<std::string>{FrmInstal::NoPermissionsMessage("C")});
  EXPECT_EQ(view.messages[0].rfind("A unidade C: não guarda permissões", 0), 0u);
  EXPECT_TRUE(view.closed);
  EXPECT_FALSE(fs.DirExists("C:\\Solvane"));
  EXPECT_TRUE(platform.started.empty());
  EXPECT_TRUE(platform.registered.empty());
  EXPECT_TRUE(scm.services.empty());
  EXPECT_EQ(view.Last(0), StepLook::Current);
}

TEST_F(Installer, EscDuringAPauseEndsTheInstallerAtOnce) {
  auto esc = loop.CreateTimer(4000, [this] { Form().Form_KeyDown(27); });
  esc->SetEnabled(true);
  Form().Form_KeyDown(13);  // Enter during the installation does nothing
  EXPECT_EQ(platform.ended, 0);
  EXPECT_THROW(Form().Form_Load(), ProgramEnd);
  EXPECT_EQ(platform.ended, 1);
  EXPECT_EQ(Form().ExitCode(), kExitInterrupted);
  EXPECT_TRUE(scm.services.empty());  // step 2 never ran
  EXPECT_FALSE(view.success);
}

TEST_F(Installer, AnotherCopyEndsBeforeDoingAnything) {
  platform.prev = AnotherCopyRuns(false, kWin32AccessDenied);  // a copy started by another account
  EXPECT_FALSE(Form().Form_Load());
  EXPECT_EQ(Form().ExitCode(), kExitAnotherCopy);
  EXPECT_TRUE(platform.started.empty());
  EXPECT_FALSE(fs.DirExists("C:\\Temp"));
}

TEST_F(Installer, StartedFromAPathWithoutADriveLetterStartUpFails) {
  info.exeFolder = "\\\\servidor\\instaladores";
  fs.Put("\\\\servidor\\instaladores\\InstaladorQuarnSQL.exe", "MZ");
  EXPECT_THROW(Form().Form_Load(), VbError);
  EXPECT_TRUE(scm.services.empty());
}

TEST_F(Installer, OutsideTheNtFamilyTheFilesAreWrittenThenTheWindowCloses) {
  platform.nt = false;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.messages, std::vector<std::string>{"This program requires Windows NT/2000/XP"});
  EXPECT_TRUE(view.closed);
  EXPECT_EQ(platform.registered.size(), 5u);
  EXPECT_TRUE(scm.services.empty());
  EXPECT_EQ(view.Last(2), StepLook::Current);
  EXPECT_FALSE(view.success);
}

TEST_F(Installer, ALoaderWindowIsLookedForBrieflyAndItsAbsenceChangesNothing) {
  view.windowAppearsAfter = 5;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_TRUE(view.adopted);
  form.reset();
  view = fakes::FakeInstallerView{};
  view.windowAppearsAfter = -1;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_FALSE(view.adopted);
  EXPECT_LE(view.adoptAttempts, static_cast<int>(FrmInstal::kLoaderWaitMs / FrmInstal::kPollMs) + 2);
  EXPECT_TRUE(view.success);
}

TEST_F(Installer, AProgramThatWillNotEndDoesNotHoldTheInstallationForEver) {
  procs.refusesToEnd = true;
  procs.Run("QuarnSQLMonitor.exe");
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_TRUE(view.success);
  EXPECT_GE(loop.TickMs(), FrmInstal::kStopWaitMs);
}

}  // namespace
}  // namespace quarn

namespace quarn {
namespace {

TEST(InstallerTrust, OnlyWhatSystemOrAnAdministratorMadeAndNobodyElseMayChangeIsUsed) {
  const std::string me = "S-1-5-21-1-2-3-500", other = "S-1-5-21-1-2-3-1001";
  struct Row {
    FolderFacts facts;
    FolderAction action;
  };
  const Row rows[] = {
      {{false, false, false, ""}, FolderAction::Create},
      {{true, true, false, kSidSystem}, FolderAction::Use},
      {{true, true, false, kSidAdministrators}, FolderAction::Use},
      {{true, true, false, kSidTrustedInstaller}, FolderAction::Use},
      {{true, true, false, me}, FolderAction::Use},
      {{true, true, false, other}, FolderAction::MoveAside},
      {{true, true, false, "S-1-5-32-545"}, FolderAction::MoveAside},       // Users
      {{true, true, false, ""}, FolderAction::MoveAside},                   // owner unreadable
      {{true, true, true, kSidAdministrators}, FolderAction::MoveAside},    // a junction in its place
      {{true, false, false, kSidAdministrators}, FolderAction::MoveAside},  // a file in its place
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(DecideFolder(rows[i].facts, me), rows[i].action) << i;
  EXPECT_EQ(DecideFolder({true, true, false, me}, ""), FolderAction::MoveAside);  // not run by an administrator

  const AccessEntry system{kSidSystem, true, 0x1F01FF}, admins{kSidAdministrators, true, 0x1F01FF};
  struct AclRow {
    std::string owner;
    bool hasList;
    std::vector<AccessEntry> entries;
    bool closed;
  };
  const AclRow acls[] = {
      {kSidAdministrators, true, {system, admins, {"S-1-5-32-545", true, 0x1200A9}}, true},  // Users read, execute
      {me, true, {system, {me, true, 0x1F01FF}, {"S-1-1-0", true, 0x1200A9}}, true},         // as Wine reads it back
      {kSidAdministrators, true, {system, {"S-1-1-0", false, 0x1F01FF}}, true},              // a denial
      {kSidAdministrators, true, {system, {"S-1-1-0", true, 0x1F01FF}}, false},              // Everyone full
      {kSidAdministrators, true, {system, {"S-1-5-11", true, 0x00000002}}, false},           // write data
      {kSidAdministrators, true, {system, {"S-1-5-32-545", true, 0x00040000}}, false},       // change the list
      {kSidAdministrators, true, {system, {"S-1-5-32-545", true, 0x40000000}}, false},       // generic write
      {kSidAdministrators, false, {}, false},                                                // no list: anyone
      {other, true, {system, admins}, false},
  };
  for (size_t i = 0; i < std::size(acls); ++i)
    EXPECT_EQ(ProtectedAsLeft(acls[i].owner, acls[i].hasList, acls[i].entries, me), acls[i].closed) << i;

  for (const char* a : {"LocalSystem", "localsystem", ".\\LocalSystem", "NT AUTHORITY\\SYSTEM", ""})
    EXPECT_FALSE(NeedsOwnRights(a)) << a;
  for (const char* a : {"NT AUTHORITY\\LocalService", "NT AUTHORITY\\NetworkService", "EMPRESA\\backup", ".\\backup"})
    EXPECT_TRUE(NeedsOwnRights(a)) << a;
}

TEST_F(Installer, AFolderSomebodyElseMadeIsMovedAsideAndLinksInTheSuiteAreRemoved) {
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(kSuite + "\\QuarnSQLService.EXE", "planted");
  platform.owners[fakes::Key(kSuite)] = "S-1-5-21-1-2-3-1001";
  ASSERT_TRUE(Form().Form_Load());
  const std::string aside = kSuite + ".anterior-20261206-055504";
  EXPECT_EQ(fs.Get(aside + "\\QuarnSQLService.EXE"), "planted");  // kept, out of the way
  EXPECT_EQ(fs.Get(kSuite + "\\QuarnSQLService.EXE"), "bytes of QUARNSQLSERVICE.EXE");
  EXPECT_EQ(view.notes.front(),
            kSuite + " não foi criada pelo instalador nem por um administrador: movida para " + aside + ".");
  EXPECT_EQ(Form().ExitCode(), kExitOk);
  EXPECT_EQ(platform.protectedKeys.back(), kSuiteKey);

  // A link inside the suite is removed and named; \\Solvane's own list only is reset.
  platform.links.insert(fakes::Key(kSuite + "\\Temp\\atalho"));
  form.reset();
  view = fakes::FakeInstallerView{};
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_TRUE(platform.links.empty());
  EXPECT_EQ(view.notes.front(), "Link removido sem ser seguido: " + fakes::Key(kSuite + "\\Temp\\atalho") + ".");
  EXPECT_EQ(platform.protectedFolders.front(), "C:\\Solvane");
}

TEST_F(Installer, AServiceIsCreatedAndStartedOnlyFromTheProgramThisInstallerCarries) {
  const std::string program = kSuite + "\\QuarnSQLService.EXE";
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(program, "planted");
  fs.locked.insert(fakes::Key(program));  // held open: not written over
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceRunning);
  EXPECT_EQ(view.failures.at(1), "O serviço QuarnSQLService não está em execução.");
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);

  // Over an existing service, the service goes: nothing starts the planted program at the next boot.
  scm.Add("QuarnSQLService", kServiceStopped).account = "LocalSystem";
  form.reset();
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService"), nullptr);

  // Held open but holding exactly this installer's build: found whole, it is used.
  fs.files[fakes::Key(program)] = "bytes of QUARNSQLSERVICE.EXE";
  form.reset();
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(std::count(platform.holds.begin(), platform.holds.end(), program), 1);
}

TEST_F(Installer, UninstallActsOnTheRegisteredFolderOnlyWhileItIsClosedAndLoadsNothingElse) {
  ASSERT_TRUE(Form().Form_Load());
  // Run from another drive, where somebody made a suite folder of their own.
  const std::string elsewhere = "D:\\Solvane\\Quarn SQL";
  fs.AddDir(elsewhere);
  fs.Put(elsewhere + "\\NTsvc.ocx", "planted");
  platform.unprotected.insert(fakes::Key(elsewhere));
  const InstallerInfo copy{elsewhere, "InstaladorQuarnSQL"};
  auto uninstall = [&] {
    return FrmInstal(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, copy)
        .Desinstalar(false);
  };
  // An entry naming anything but a suite folder (a system folder, a drive's
  // root), however closed it is: nothing is removed there.
  for (const char* wrong : {"C:\\Windows", "C:\\", "C:\\Solvane", "C:\\Program Files\\Quarn SQL"}) {
    fs.AddDir(wrong);
    fs.Put(JoinPath(wrong, "NTsvc.ocx"), "theirs");
    platform.keys[kUninstallKey].installLocation = wrong;
    EXPECT_EQ(uninstall(), kExitFilesNotRemoved) << wrong;
    EXPECT_EQ(fs.Get(JoinPath(wrong, "NTsvc.ocx")), "theirs") << wrong;
  }
  platform.keys[kUninstallKey].installLocation = kSuite;
  EXPECT_EQ(platform.registered.size(), 5u);
  // The registered folder was opened up since: nothing is removed, nothing loaded.
  platform.unprotected.insert(fakes::Key(kSuite));
  EXPECT_EQ(uninstall(), kExitFilesNotRemoved);
  EXPECT_EQ(platform.registered.size(), 5u);
  EXPECT_NE(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_TRUE(fs.Has(kSuite + "\\NTsvc.ocx"));
  // Closed again (a repair): removed; a control opened up alone stays loaded by nobody.
  platform.unprotected.erase(fakes::Key(kSuite));
  platform.unprotected.insert(fakes::Key(kSuite + "\\MSINET.ocx"));
  EXPECT_EQ(uninstall(), kExitOk);
  EXPECT_FALSE(fs.Has(kSuite + "\\NTsvc.ocx"));
  EXPECT_EQ(platform.registered, std::vector<std::string>{kSuite + "\\MSINET.ocx"});
  EXPECT_EQ(fs.Get(elsewhere + "\\NTsvc.ocx"), "planted");
}

}  // namespace
}  // namespace quarn
