#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "common/single_instance.h"
#include "fakes/monitor_fixture.h"
#include "monitor/frm_backup.h"

namespace quarn {
namespace {

using fakes::kApp;
using fakes::kLogs;

struct FrmBackupFixture : ::testing::Test, fakes::MonitorFixture {};

TEST_F(FrmBackupFixture, ANormalStartWritesTheThreeStartUpFilesAndChecksForUpdates) {
  fs.Put(kLogs + "VersaoQuarnSQLServiceMonitor.ini", "old\r\nold\r\n");
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(fs.Get(kLogs + "VersaoQuarnSQLServiceMonitor.ini"), "134\r\n");
  EXPECT_EQ(fs.Get(kLogs + "QuarnSQLServiceMonitorExecuting.ini"), "06/12/2026 05:55:04\r\n");
  EXPECT_EQ(fs.Get(kLogs + "VersaoCompletaServiceMonitor.ini"),
            "Sistema Quarn SQL Service Monitor - vers\xE3o revisada: 1.0.134 de 30/11/2026 14:02:07, "
            "iniciando em c:\\solvane\\quarn sql\\quarnsqlservicemonitor.exe\r\n");
  EXPECT_TRUE(fs.DirExists(kApp + "\\temp"));
  EXPECT_EQ(Form().PastaTemp(), kApp + "\\temp\\");
  EXPECT_EQ(Form().LimiteAtualizacao(), 10800);
  EXPECT_TRUE(shell.hidden);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"StartService:2"}));
  EXPECT_EQ(host.ServiceName, "QuarnSQLServiceMonitor");
  EXPECT_EQ(host.DisplayName, "Simple Service");
  EXPECT_EQ(host.StartMode, 2);
  EXPECT_EQ(work.calls, (std::vector<std::string>{"OutroServiceEmUso", "EstouEmUso(true)", "VerificarSeTemAtualService",
                                                  "VerificarSeTemAtualExe", "EstouEmUso(false)"}));
  EXPECT_TRUE(Form().Timer1().Enabled());
  EXPECT_TRUE(Form().TimerCheckService().Enabled());
  EXPECT_TRUE(host.events.empty());
}

TEST(SingleInstance, AnObjectThisAccountMayNotOpenIsAnotherCopy) {
  struct Row {
    bool gotObject;
    uint32_t error;
    bool another;
  };
  for (const Row& r : {Row{true, 0, false}, Row{true, kWin32AlreadyExists, true}, Row{false, kWin32AccessDenied, true},
                       Row{false, 8, false}, Row{true, kWin32AccessDenied, false}})
    EXPECT_EQ(AnotherCopyRuns(r.gotObject, r.error), r.another) << r.gotObject << " " << r.error;
  // An object some other account made first (owned by neither SYSTEM nor
  // Administrators, or closed to an administrator) is no copy of ours.
  EXPECT_FALSE(AnotherCopyRuns(true, kWin32AlreadyExists, false, true));
  EXPECT_TRUE(InstanceSquatted(true, kWin32AlreadyExists, false, false));
  EXPECT_FALSE(AnotherCopyRuns(false, kWin32AccessDenied, false, true));
  EXPECT_TRUE(AnotherCopyRuns(true, kWin32AlreadyExists, true, true));
  EXPECT_FALSE(InstanceSquatted(true, 0, false, true));  // a new object is ours
}

TEST_F(FrmBackupFixture, ASecondCopyEndsBeforeReadingOrWritingAnything) {
  // The service's copy runs as LocalSystem: an administrator's "-uninstall" is denied its object.
  shell.prevInstance = AnotherCopyRuns(false, kWin32AccessDenied);
  info.commandLine = "-uninstall";
  EXPECT_FALSE(Form().Form_Load());
  EXPECT_TRUE(host.calls.empty());
  EXPECT_FALSE(fs.DirExists(kApp + "\\Logs"));
  EXPECT_TRUE(work.calls.empty());
}

TEST_F(FrmBackupFixture, InstallRegistersTheServiceThenStartsUpNormally) {
  info.commandLine = "-install";
  host.Interactive = true;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(host.calls, (std::vector<std::string>{"Install:Simple Service", "StartService:2"}));
  EXPECT_TRUE(fs.Has(kLogs + "VersaoQuarnSQLServiceMonitor.ini"));
}

TEST_F(FrmBackupFixture, UninstallRemovesTheServiceAndEndsWritingNothing) {
  info.commandLine = "-uninstall";
  EXPECT_FALSE(Form().Form_Load());
  EXPECT_EQ(host.calls, (std::vector<std::string>{"Uninstall"}));
  EXPECT_FALSE(fs.DirExists(kApp + "\\Logs"));
  EXPECT_FALSE(fs.Has(kApp + "\\ErrorQuarn.ini"));
}

TEST_F(FrmBackupFixture, AnUninstallThatFailsIsLoggedAndStartUpGoesOn) {
  info.commandLine = "-uninstall";
  host.onUninstall = [] { throw VbError(1060, "O serviço especificado não existe."); };
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(host.calls, (std::vector<std::string>{"Uninstall", "StartService:2"}));
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].type, 1);
  EXPECT_EQ(host.events[0].id, 109);
  EXPECT_EQ(host.events[0].text, "[1060] O serviço especificado não existe.");
  EXPECT_EQ(fs.Get(kApp + "\\ErrorQuarn.ini"),
            "\r\n06/12/2026 05:55:04 - 06/12/2026 05:55:04 | LoadService | 1060 - O servi\xE7o especificado "
            "n\xE3o existe.\r\n");
  EXPECT_TRUE(fs.Has(kLogs + "VersaoQuarnSQLServiceMonitor.ini"));
}

TEST_F(FrmBackupFixture, OnlyTheExactSwitchesCount) {
  for (const char* line : {"-Install", "-install ", "-UNINSTALL", "/install", "", "x -install"}) {
    host.calls.clear();
    info.commandLine = line;
    form.reset();
    ASSERT_TRUE(Form().Form_Load()) << line;
    EXPECT_EQ(host.calls, (std::vector<std::string>{"StartService:2"})) << line;
  }
}

TEST_F(FrmBackupFixture, AFailedConnectionToTheManagerIsLoggedOnceAndStartUpGoesOn) {
  host.onStartService = [] { throw VbError(1063, "O processo de serviço não pôde se conectar."); };
  ASSERT_TRUE(Form().Form_Load());
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].text, "[1063] O processo de serviço não pôde se conectar.");
  EXPECT_NE(fs.Get(kApp + "\\ErrorQuarn.ini").find(" | LoadService | 1063 - "), std::string::npos);
  EXPECT_EQ(work.calls.size(), 5u);
}

TEST_F(FrmBackupFixture, StartUpWaitsWhileTheBackupServiceIsBusyWithoutSpinning) {
  int polls = 0;
  work.busy = [&] { return ++polls < 40; };
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(polls, 40);
  EXPECT_EQ(loop.IdleCalls(), 39u);  // each poll blocked for the next event
  EXPECT_EQ(work.calls[39], "OutroServiceEmUso");
  EXPECT_EQ(work.calls[40], "EstouEmUso(true)");
  EXPECT_TRUE(Form().Timer1().Enabled());
}

TEST_F(FrmBackupFixture, AStopArrivingWhileStartUpWaitsEndsTheProgram) {
  work.busy = [] { return true; };
  loop.Post([this] { Form().NTService1_Stop(); });
  EXPECT_THROW(Form().Form_Load(), ProgramEnd);
  EXPECT_EQ(shell.ended, 1);
  EXPECT_TRUE(Form().Unloaded());
  EXPECT_FALSE(Form().TimerCheckService().Enabled());
  EXPECT_EQ(std::count(work.calls.begin(), work.calls.end(), "EstouEmUso(true)"), 0);
}

TEST_F(FrmBackupFixture, StartAndStopDeleteTheFormattedLog) {
  ASSERT_TRUE(Form().Form_Load());
  Form().Logs().FormataRichTextBox("antes", 0, false);
  ASSERT_TRUE(fs.Has(kLogs + "FormataRichTextBoxServiceMonitor.ini"));
  bool success = false;
  Form().NTService1_Start(success);
  EXPECT_TRUE(success);
  EXPECT_FALSE(fs.Has(kLogs + "FormataRichTextBoxServiceMonitor.INI"));
  Form().NTService1_Start(success);  // nothing to delete: still a success, nothing written
  EXPECT_TRUE(success);
  Form().Logs().FormataRichTextBox("depois", 0, false);
  EXPECT_EQ(SplitLines(fs.Get(kLogs + "FormataRichTextBoxServiceMonitor.INI")).size(), 2u);
  Form().NTService1_Stop();
  EXPECT_FALSE(fs.Has(kLogs + "FormataRichTextBoxServiceMonitor.INI"));
  EXPECT_TRUE(fs.Has(kLogs + "LogGeralMonitor.INI"));
  EXPECT_EQ(shell.ended, 1);
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(fs.Get(kLogs + "LogGeralMonitor.INI").find("Chave de teste"), std::string::npos);
}

TEST_F(FrmBackupFixture, ABuildThatTrustsTheTestKeySaysSoAtEveryStart) {
  const std::string notice = "Chave de teste: este build aceita publicações da chave de teste de compilação";
  info.trustsTestKey = true;
  ASSERT_TRUE(Form().Form_Load());
  bool success = false;
  Form().NTService1_Start(success);
  Form().NTService1_Start(success);
  ASSERT_EQ(host.events.size(), 2u);
  for (const auto& e : host.events) EXPECT_EQ(std::tie(e.type, e.id, e.text), std::make_tuple(svcEventWarning, int32_t{kEventTestKey}, notice));
  EXPECT_NE(codec.FromAnsi(fs.Get(kLogs + "LogGeralMonitor.INI")).find("255         " + notice), std::string::npos);
}

TEST_F(FrmBackupFixture, AStopWhoseLogCannotBeDeletedIsReportedAndStillEnds) {
  ASSERT_TRUE(Form().Form_Load());
  Form().Logs().FormataRichTextBox("aberto", 0, false);
  fs.locked.insert(fakes::Key(kLogs + "FormataRichTextBoxServiceMonitor.INI"));
  Form().NTService1_Stop();
  EXPECT_EQ(shell.ended, 1);
  ASSERT_FALSE(host.events.empty());
  EXPECT_EQ(host.events[0].text, "[70] Permissão negada");
  EXPECT_NE(fs.Get(kApp + "\\ErrorQuarn.ini").find(" | Service Stop | 70 - Permiss\xE3o negada"), std::string::npos);
}

TEST_F(FrmBackupFixture, PauseAndContinueWriteTheirEventLogEntriesAndTheTimersRunOn) {
  ASSERT_TRUE(Form().Form_Load());
  bool success = false;
  Form().NTService1_Pause(success);
  EXPECT_TRUE(success);
  success = false;
  Form().NTService1_Continue(success);
  EXPECT_TRUE(success);
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[0].type, svcEventError);
  EXPECT_EQ(host.events[0].id, svcMessageError);
  EXPECT_EQ(host.events[0].text, "Service paused");
  EXPECT_EQ(host.events[1].type, svcEventInformation);
  EXPECT_EQ(host.events[1].id, svcMessageInfo);
  EXPECT_EQ(host.events[1].text, "Service continued");
  EXPECT_TRUE(Form().Timer1().Enabled());
}

// A file error at start-up ends nothing: it is reported once (event log and
// error log), the checks run, and a later tick writes the files once it can.
TEST_F(FrmBackupFixture, AStartUpFileThatCannotBeWrittenIsReportedOnceAndWrittenByALaterTick) {
  struct Row {
    const char* name;
    std::function<void()> fault, mend;
  };
  const std::string held = kLogs + "VersaoCompletaServiceMonitor.ini";
  const std::string exe = kApp + "\\QuarnSQLServiceMonitor.exe";
  const Row rows[] = {
      {"a start-up file held open", [&] { fs.locked.insert(fakes::Key(held)); },
       [&] { fs.locked.erase(fakes::Key(held)); }},
      {"the program file's date unreadable", [&] { fs.files.erase(fakes::Key(exe)); }, [&] { fs.Put(exe, "MZ"); }},
      {"no Logs folder can be made",
       [&] {
         fs.beforeChange = [](const std::string& op, const std::string&, const std::string&) {
           if (std::string(op) == "CreateDir") throw FileError(kErrPermissionDenied);
         };
       },
       [&] { fs.beforeChange = nullptr; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    form.reset();
    host.events.clear();
    fs.dirs.erase(fakes::Key(kApp + "\\Logs"));
    fs.Put(held, "");
    if (fs.Has(kApp + "\\ErrorQuarn.ini")) fs.Delete(kApp + "\\ErrorQuarn.ini");
    r.fault();
    ASSERT_TRUE(Form().Form_Load());
    EXPECT_EQ(std::count(work.calls.begin(), work.calls.end(), "VerificarSeTemAtualService"), 1);
    loop.Advance(3000);
    ASSERT_FALSE(host.events.empty());
    EXPECT_EQ(host.events.size(), 1u);  // once, though every tick tries again
    EXPECT_NE(codec.FromAnsi(fs.Get(kApp + "\\ErrorQuarn.ini")).find(" | Form_Load | "), std::string::npos);
    EXPECT_EQ(shell.ended, 0);
    r.mend();
    loop.Advance(60 * 1000);  // tried again at growing intervals, a minute at most
    EXPECT_NE(fs.Get(held).find("1.0.134 de "), std::string::npos);
    work.calls.clear();
  }
}

TEST_F(FrmBackupFixture, AtADriveRootTheVersionLineKeepsTheRootBackslash) {
  info.appPath = "D:\\";
  EXPECT_EQ(FrmBackup::VersionLine(info, "07/12/2026"),
            "Sistema Quarn SQL Service Monitor - versão revisada: 1.0.134 de 07/12/2026, iniciando em "
            "d:\\\\quarnsqlservicemonitor.exe");
}

}  // namespace
}  // namespace quarn
