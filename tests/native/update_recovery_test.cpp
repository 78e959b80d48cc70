// What an update leaves when it fails or is cut: the recovery plan worked out
// from the disk, rollbacks, a killed update put back.
#include <gtest/gtest.h>

#include "fakes/updater_fixture.h"
#include "monitor/update/recovery_plan.h"

namespace quarn {
namespace {

// What recovery does from what an update cut at some step left on the disk.
TEST(RecoveryPlan, FromTheJournalTheBackupFolderTheSuiteFolderAndTheRecord) {
  auto describe = [](const RecoveryPlan& p) {
    std::string d = p.needed ? "" : "nothing";
    if (!p.invalidLine.empty()) d += "invalid " + p.invalidLine + ";";
    if (p.stopProgram) d += "stop;";
    for (const auto& m : p.moves) d += (m.putBack ? " back " : " drop ") + m.file + ";";
    if (p.record == RecoveryPlan::Record::kOldVersion) d += " record " + p.oldVersion;
    if (p.record == RecoveryPlan::Record::kEmpty) d += " record empty";
    if (p.record == RecoveryPlan::Record::kNewVersion) d += " record " + p.newVersion;
    if (p.resumeProbation) d += " probation goes on";
    if (p.heartbeatBefore)
      d += " from " + std::to_string(p.heartbeatBefore->size) + "/" + std::to_string(p.heartbeatBefore->writeTime);
    if (p.committed) d += " committed";
    return d;
  };
  using Files = std::vector<std::string>;
  const Files whole = {"2.0", "1.0", "=QuarnSQLService.exe", "=libmysql.dll", "+novo.dll", "."};
  const Files before = {"QuarnSQLService.exe", "libmysql.dll"},
              after = {"QuarnSQLService.exe", "libmysql.dll", "novo.dll"};
  auto journal = [&](const std::string& line) { return Files{"2.0", "1.0", "=libmysql.dll", line, "."}; };
  auto digested = [&](const std::string& line) { return journal(line + "\t" + std::string(64, 'a')); };
  const Files both = {"libmysql.dll", "QuarnSQLService.exe"};
  auto stage = [&](const std::string& line) {
    Files f = whole;
    f.push_back(line);
    return f;
  };
  struct Row {
    std::optional<Files> journal;
    Files backup, suite;
    std::optional<std::string> record;
    std::string plan;
    bool probationFailed = false;
    std::map<std::string, std::string> digests = {};  // of the backup copies, as hashed
  } rows[] = {
      {std::nullopt, {}, before, "1.0", "nothing"},
      {whole, {}, before, "1.0", ""},  // cut before the first move
      {whole, {"QuarnSQLService.exe"}, before, "1.0", "stop; back QuarnSQLService.exe;"},
      {whole,
       {"QuarnSQLService.exe", "libmysql.dll"},
       after,
       "2.0",
       "stop; back QuarnSQLService.exe; back libmysql.dll; drop novo.dll; record 1.0"},
      {whole, {"quarnsqlservice.exe"}, after, "1.0", "stop; back QuarnSQLService.exe; drop novo.dll;"},
      {whole,
       {"libmysql.dll"},
       after,
       std::nullopt,
       "stop; back libmysql.dll; drop novo.dll; record 1.0"},                // written without being read
      {Files{"2.0", "1.0", "=QuarnSQLService.exe"}, {}, before, "1.0", ""},  // a journal cut short: nothing moved
      // A copy whose digest the journal names goes back only while it has it.
      {digested("=QuarnSQLService.exe"),
       both,
       after,
       "2.0",
       "stop; back libmysql.dll; back QuarnSQLService.exe; record 1.0",
       false,
       {{"QuarnSQLService.exe", std::string(32, '\xaa')}}},
      {digested("=QuarnSQLService.exe"),
       both,
       after,
       "2.0",
       "stop; back libmysql.dll; record 1.0",
       false,
       {{"QuarnSQLService.exe", std::string(32, '\xab')}}},
      {digested("=QuarnSQLService.exe"), {"QuarnSQLService.exe"}, after, "2.0", " record 1.0"},  // not hashed
      {journal("=x.dll\t" + std::string(63, 'a')),
       {},
       before,
       "2.0",
       "invalid =x.dll\t" + std::string(63, 'a') + "; record empty"},
      {digested("+novo.dll"), {}, before, "2.0", "invalid +novo.dll\t" + std::string(64, 'a') + "; record empty"},
      // A backup copy no whole journal of ours names is nobody's: never put back, never run.
      {Files{"2.0"}, {"QuarnSQLService.exe"}, before, "2.0", ""},
      {std::nullopt, {"QuarnSQLService.exe", "libmysql.dll"}, before, "2.0", ""},
      // Not ours: nothing moves on its word, from the backup folder neither.
      {journal("+..\\..\\Windows\\win.ini"),
       {"libmysql.dll"},
       before,
       "2.0",
       "invalid +..\\..\\Windows\\win.ini; record empty"},
      {journal("=C:\\Windows\\win.ini"), {}, before, "2.0", "invalid =C:\\Windows\\win.ini; record empty"},
      {journal("+Logs\\ErrorQuarn.ini"), {}, before, "2.0", "invalid +Logs\\ErrorQuarn.ini; record empty"},
      {journal("+CON"), {}, before, "2.0", "invalid +CON; record empty"},
      {journal("xQuarnSQLService.exe"), {}, before, "2.0", "invalid xQuarnSQLService.exe; record empty"},
      {journal("="), {}, before, "2.0", "invalid =; record empty"},
      {journal(""), {}, before, "2.0", "invalid (vazia); record empty"},
      {journal("+libmysql.dll:stream"), {}, before, "2.0", "invalid +libmysql.dll:stream; record empty"},
      // Past the swap: in probation the new build stays and its probation goes on; once it failed, it goes back.
      {stage("prova"), {"QuarnSQLService.exe", "libmysql.dll"}, after, "2.0", " probation goes on"},
      {stage("prova"), {"QuarnSQLService.exe", "libmysql.dll"}, after, "1.0", " record 2.0 probation goes on"},
      {stage("prova 28 133774"), {}, after, "2.0", " probation goes on from 28/133774"},
      {stage("prova 28 x"), {}, after, "2.0", "invalid prova 28 x; record empty"},
      {stage("prova"),
       {"QuarnSQLService.exe", "libmysql.dll"},
       after,
       "2.0",
       "stop; back QuarnSQLService.exe; back libmysql.dll; drop novo.dll; record 1.0",
       true},
      // After the commit point nothing goes back, whatever lies in the backup folder.
      {stage("confirmado"), {"QuarnSQLService.exe"}, after, "2.0", " committed"},
      {stage("confirmado"), {}, after, "", " record 2.0 committed", true},
      {stage("aprovado"), {"libmysql.dll"}, after, "2.0", "invalid aprovado; record empty"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.plan);
    EXPECT_EQ(
        describe(PlanRecovery(RecoveryInput{r.journal, r.backup, r.suite, r.record, r.probationFailed, r.digests})),
        r.plan);
  }
}

TEST_F(UpdaterFixture, AFailedRollbackIsReportedAndKeepsTheOldBuildForTheNextCheck) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  fs.Put(kApp + "\\libmysql.dll", "old lib");
  PublishVersion("service", "2.0");
  PublishBuild("QuarnSQLService", {{"QuarnSQLService.exe", "new"}, {"libmysql.dll", "new lib"}});
  const std::string kept = kTemp + "QuarnSQLService.anterior\\QuarnSQLService.exe";
  fs.beforeChange = [&](const std::string& op, const std::string& path, const std::string&) {
    // The record cannot be written, and the old program cannot be put back.
    if (op == "WriteAll" && path.rfind(kLogs + "VersaoQuarnSQLService.ini", 0) == 0) throw FileError(kErrDiskFull);
    if (op == "DurableRename" && path == kept) throw FileError(kErrPermissionDenied);
  };
  updater.VerificarSeTemAtualService();
  const std::string failure = "Restaura QuarnSQLService QuarnSQLService.exe 70-Permissão negada";
  const auto lines = Formatted();
  EXPECT_NE(std::find(lines.begin(), lines.end(), Line{kCorVermelha, failure}), lines.end());
  EXPECT_NE(fs.Get(kApp + "\\ErrorQuarn.ini").find(codec.ToAnsi(failure)), std::string::npos);
  EXPECT_EQ(fs.Get(kApp + "\\libmysql.dll"), "old lib");
  EXPECT_EQ(fs.Get(kept), "old service build");
  EXPECT_TRUE(fs.Has(kTemp + "QuarnSQLService.pendente"));

  // The next check finishes the rollback; only then does the backup copy go.
  fs.beforeChange = nullptr;
  inet.online = false;
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.pendente"));
  EXPECT_FALSE(fs.Has(kept));
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
}

TEST_F(UpdaterFixture, ALockedProgramFileIsPutBackAndTheOldBuildRunsOn) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  fs.Put(kApp + "\\libmysql.dll", "old lib");
  PublishVersion("service", "2.0");
  PublishBuild("QuarnSQLService", {{"libmysql.dll", "new lib"}, {"QuarnSQLService.exe", "new"}});
  fs.locked.insert(fakes::Key(kApp + "\\QuarnSQLService.exe"));
  updater.VerificarSeTemAtualService();
  fs.locked.clear();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(fs.Get(kApp + "\\libmysql.dll"), "old lib");  // rolled back whole
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_TRUE(watchdog->Enabled());
  EXPECT_EQ(Formatted().back().text.rfind("Update Sistema QuarnSQLService 70-", 0), 0u);
}

TEST_F(UpdaterFixture, AMissingLibraryIsReportedByDesCompactaAndTheUpdateFails) {
  unzip.libraryMissing = true;
  PublishVersion("service", "2.0");
  updater.VerificarSeTemAtualService();
  const auto lines = Formatted();
  ASSERT_GE(lines.size(), 2u);
  // The version archive is asked for its record and statement only.
  EXPECT_EQ(lines[1], (Line{kCorVermelha,
                            "DesCompactaVersaoQuarnSQLService.ini|QuarnPublicacao.txt 53-Arquivo não "
                            "encontrado: aunzip32.dll"}));
  EXPECT_NE(fs.Get(kApp + "\\ErrorQuarn.ini")
                .find(" - DesCompacta VersaoQuarnSQLService.ini|QuarnPublicacao.txt 53-Arquivo n\xE3o encontrado"),
            std::string::npos);
  unzip.libraryMissing = false;
  unzip.missingEntry = "addUNZIP_ExtractTo";
  updater.DesCompacta(kTemp + "x.zip", "", kTemp, false);
  EXPECT_EQ(Formatted().back().text.rfind("DesCompacta 453-", 0), 0u);
  EXPECT_EQ(unzip.calls.back(), "addUNZIP_Include()");  // the later calls are skipped
  unzip.missingEntry.clear();
  unzip.forcedResult = 40000;  // outside a 16-bit result
  updater.DesCompacta(kTemp + "x.zip", "", kTemp, false);
  EXPECT_EQ(Formatted().back().text.rfind("DesCompacta 6-", 0), 0u);
}

TEST_F(UpdaterFixture, AGuiMonitorThatWillNotEndFailsTheUpdateAfterABoundedWait) {
  procs.Run("QuarnSQLMonitor.exe");
  procs.refusesToEnd = true;
  PublishVersion("monitor", "2.0");
  PublishBuild("QuarnSQLMonitor", {{"QuarnSQLMonitor.exe", fakes::WindowsProgram("new gui")}});
  updater.VerificarSeTemAtualExe();
  EXPECT_GE(loop.TickMs(), Updater::kProcessWaitMs);
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLMonitor.exe"), "old monitor build");
  EXPECT_EQ(Record("VersaoQuarnSqlMonitor.ini"), "");
  EXPECT_EQ(Formatted().back().text, "Update Sistema QuarnSQLMonitor 7100-O programa QuarnSQLMonitor.exe não terminou");
}

TEST_F(UpdaterFixture, AnUpdateKilledBeforeItWasCompleteIsPutBackAtTheNextCheck) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishVersion("service", "2.0");
  PublishBuild("QuarnSQLService", {{"QuarnSQLService.exe", "new"}});
  // What a kill between the swap and the record leaves: the old build aside,
  // the new one in place, the journal naming the new version.
  fs.AddDir(kTemp + "QuarnSQLService.anterior");
  fs.Rename(kApp + "\\QuarnSQLService.exe", kTemp + "QuarnSQLService.anterior\\QuarnSQLService.exe");
  fs.Put(kApp + "\\QuarnSQLService.exe", "new");
  const std::string journal = "2.0\r\n1.0\r\n=QuarnSQLService.exe\r\n.\r\n";
  fs.Put(kTemp + "QuarnSQLService.pendente", journal);
  updater.RecuperaAtualizacao("QuarnSQLService");
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.pendente"));
  // Killed after the record was written but before the new build had run long
  // enough: the old build goes back too, and the record names it again.
  fs.AddDir(kTemp + "QuarnSQLService.anterior");  // recovery removed it
  fs.Rename(kApp + "\\QuarnSQLService.exe", kTemp + "QuarnSQLService.anterior\\QuarnSQLService.exe");
  fs.Put(kApp + "\\QuarnSQLService.exe", "new");
  fs.Put(kTemp + "QuarnSQLService.pendente", journal);
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "2.0\r\n");
  updater.RecuperaAtualizacao("QuarnSQLService");
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_TRUE(fs.ListFiles(kTemp + "QuarnSQLService.anterior").empty());
}

TEST_F(UpdaterFixture, ARecordThatCannotBeWrittenRollsTheBuildBack) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishVersion("service", "2.0");
  PublishBuild("QuarnSQLService", {{"QuarnSQLService.exe", "new"}});
  updater.PegaVNET();
  fs.locked.insert(fakes::Key(kLogs + "VersaoQuarnSQLService.ini"));
  updater.UpdateSistema("QuarnSQLService");
  fs.locked.clear();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_TRUE(watchdog->Enabled());
  // The journal stays until the record could be written to name the build on disk.
  EXPECT_TRUE(fs.Has(kTemp + "QuarnSQLService.pendente"));
  EXPECT_TRUE(updater.RecuperaAtualizacao("QuarnSQLService"));
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.pendente"));
}

TEST_F(UpdaterFixture, ALocalRecordThatCannotBeCreatedReadsErro) {
  fs.locked.insert(fakes::Key(kLogs + "VersaoQuarnSQLService.ini"));
  updater.PegaVLocal();
  EXPECT_EQ(updater.VLocalService, "erro");
  EXPECT_EQ(Formatted().back(), (Line{kCorVermelha, "VersaoQuarnSQLService.Local: erro 70-Permissão negada"}));
}

}  // namespace
}  // namespace quarn
