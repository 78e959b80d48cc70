// The installer's window and its installation: layout, status panel, command
// line, verdict, a fresh machine, a silent run, and start-up's refusals.
#include <gtest/gtest.h>

#include "fakes/installer_fixture.h"

namespace quarn {
namespace {

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

TEST_F(Installer, TheMissingServiceTakesTheAccountOfTheExistingOne) {
  scm.Add("QuarnSQLService", kServiceStopped).account = "EMPRESA\\backup";
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->account, "EMPRESA\\backup");
  EXPECT_EQ(scm.Find("QuarnSQLService")->account, "EMPRESA\\backup");  // left as it was
  // The backup service only its own files; the monitor all of Logs.
  const std::string logs = "EMPRESA\\backup " + kSuite + "\\Logs";
  EXPECT_EQ(platform.grants, (std::vector<std::string>{logs + " own", logs + "\\QuarnSQLServiceExecuting.ini",
                                                       logs + "\\QuarnSQLServiceEmUso.ti",
                                                       logs + "\\QuarnSQLServiceUltimoBackup.ini", logs}));
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
