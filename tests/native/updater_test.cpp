#include <gtest/gtest.h>

#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "fakes/signing.h"
#include "fakes/update_fakes.h"
#include "fakes/update_reports.h"
#include "monitor/update/fleet_simulation.h"
#include "monitor/update/manifest.h"
#include "monitor/update/recovery_plan.h"
#include "monitor/update/reports.h"
#include "monitor/update/updater.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn {
namespace {

using fakes::kApp;
using fakes::kLogs;
const std::string kTemp = kApp + "\\temp\\";
const std::string kBase = "http://atualizacao.test/CentralUpdate/QuarnSqlSolvane/";

using Line = fakes::ReportLine;

struct UpdaterFixture : ::testing::Test {
  fakes::MemoryFileSystem fs;
  Cp1252Codec codec;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  fakes::FakeInet inet;
  fakes::FakeUnzip unzip{fs};
  fakes::FixedServer server;
  fakes::FakeServiceManager scm;
  fakes::FakeProcesses procs;
  FechaExe fecha{procs};
  std::string account, password;
  MonitorServiceControl service{scm, account, password, kApp};
  MonitorLogs logs{LogContext{fs, codec, clock, dates, kApp}};
  std::unique_ptr<Timer> watchdog = loop.CreateTimer(1000, [] {});
  fakes::FakePolicy policy;
  fakes::FakeUpdateLock lock;
  Updater updater{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock}, kApp, logs,
                  *watchdog, kTemp};

  UpdaterFixture() {
    for (const std::string& d : {std::string("C:\\Solvane"), kApp, kApp + "\\Logs", kApp + "\\temp"}) fs.AddDir(d);
    watchdog->SetEnabled(true);
    fs.Put(kApp + "\\QuarnSQLService.exe", "old service build");
    fs.Put(kApp + "\\QuarnSQLMonitor.exe", "old monitor build");
    FakeServiceOf(scm.Add("QuarnSQLService", kServiceRunning));
    procs.Run("QuarnSQLService.exe");
    policy.probationSeconds = 1;
  }

  static void FakeServiceOf(fakes::FakeService& s) {
    s.account = "LocalSystem";
    s.processId = 4242;
  }
  // The new build runs, writes its heartbeat and outlasts its probation.
  void PassProbation() {
    fs.Put(kLogs + "QuarnSQLServiceExecuting.ini", "batimento");
    loop.Advance(2000);
  }

  void Publish(const std::string& file, const std::string& body, int status = 200) {
    inet.routes[kBase + file] = fakes::FakeResponse{status, body};
  }
  void PublishVersion(const std::string& program, const std::string& recordText) {
    const std::string record = program == "service" ? "VersaoQuarnSQLService.ini" : "VersaoQuarnSqlMonitor.ini";
    const std::string zip = program == "service" ? "VersaoQuarnSQLService.zip" : "VersaoQuarnSqlMonitor.zip";
    Publish(zip, unzip.Archive(zip + recordText, {{record, recordText}}));
  }
  void PublishBuild(const std::string& name, std::vector<std::pair<std::string, std::string>> entries) {
    Publish(name + ".zip", unzip.Archive(name + ".zip", std::move(entries)));
  }
  std::vector<Line> Formatted() {
    std::vector<Line> out;
    for (auto& l : SplitLines(codec.FromAnsi(fs.Get(kLogs + "FormataRichTextBoxServiceMonitor.INI")))) {
      if (l.size() < 38) continue;
      out.push_back(Line{std::stoi(l.substr(26, 12)), l.substr(38)});
    }
    return out;
  }
  std::string Record(const std::string& file) { return fs.Get(kLogs + file); }
  std::string General() { return codec.FromAnsi(fs.Get(kLogs + kGeneralLogName)); }
};

TEST_F(UpdaterFixture, ACompleteUpdateOfTheBackupServiceReportsFifteenLinesInOrder) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishVersion("service", "1.1\r\n");
  PublishBuild("QuarnSQLService", {{"build/QuarnSQLService.exe", "new service build"}, {"libmysql.dll", "lib"}});
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(Formatted(), fakes::ServiceUpdateReports("1.1", "1.0"));
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "new service build");
  EXPECT_EQ(fs.Get(kApp + "\\libmysql.dll"), "lib");
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.1\r\n");
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_TRUE(procs.terminated.size() == 1);
  EXPECT_TRUE(watchdog->Enabled());
  // Kept until its probation passes; then nothing of the old build or the staging is left behind.
  EXPECT_EQ(fs.ListFiles(kTemp + "QuarnSQLService.anterior").size(), 1u);
  PassProbation();
  EXPECT_TRUE(fs.ListFiles(kTemp + "QuarnSQLService.anterior").empty());
  EXPECT_TRUE(fs.ListFiles(kTemp + "QuarnSQLService.novo").empty());
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.pendente"));
  EXPECT_EQ(unzip.calls.front(), "addUNZIP_Overwrite(11)");
  EXPECT_EQ(unzip.calls[4], "addUNZIP_RestoreStructure(0)");

  // The next check finds the two records equal.
  fs.Delete(kLogs + "FormataRichTextBoxServiceMonitor.INI");
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(Formatted(), (std::vector<Line>{
                             {0, "Verificando atualizações disponíveis para o Serviço QuarnSQlService."},
                             {16711680, "VersaoQuarnSQLService.Net: 1.1"},
                             {0, "VersaoQuarnSQLService.Local: 1.1"},
                             {16711680, "Nenhuma atualização disponível no momento para o Quarn Monitor SQL Service."},
                             {16711680, "Monitorando..."},
                         }));
}

TEST_F(UpdaterFixture, TheGuiMonitorIsEndedReplacedAndNotStartedAgain) {
  const uint32_t gui = procs.Run("QuarnSQLMonitor.exe");
  PublishVersion("monitor", "2014-02-27");
  PublishBuild("QuarnSQLMonitor", {{"QuarnSQLMonitor.exe", fakes::WindowsProgram("new gui")}});
  updater.VerificarSeTemAtualExe();  // no local record yet: created empty, then updated
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLMonitor.exe"), fakes::WindowsProgram("new gui"));
  EXPECT_EQ(Record("VersaoQuarnSqlMonitor.ini"), "2014-02-27\r\n");
  EXPECT_EQ(procs.terminated, std::vector<uint32_t>{gui});
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Start QuarnSQLService"), 0);
  const auto lines = Formatted();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "Verificando atualizações disponíveis para o QuarnSqlMonitor.");
  EXPECT_EQ(lines[1].text, "VersaoQuarnSqlMonitorEXE.Net: 2014-02-27");
  EXPECT_EQ(lines[2].text, "VersaoQuarnSqlMonitor.Local: ");
  EXPECT_EQ(lines[lines.size() - 4], (Line{0, "Salvando VersaoQuarnSqlMonitor..."}));
  EXPECT_EQ(lines[lines.size() - 3], (Line{16711680, "VersaoQuarnSqlMonitor Salva..."}));
  EXPECT_EQ(inet.requested.back(), kBase + "QuarnSQLMonitor.zip");
}

TEST_F(UpdaterFixture, OfflineChecksTouchNothing) {
  inet.online = false;
  updater.VerificarSeTemAtualService();
  updater.VerificarSeTemAtualExe();
  // The second report repeats the first within the minute: held back, counted when another line comes.
  EXPECT_EQ(Formatted(), (std::vector<Line>{{16711680, "Sem conexão com a internet."}}));
  EXPECT_TRUE(inet.requested.empty());
  EXPECT_FALSE(fs.Has(kLogs + "VersaoQuarnSQLService.ini"));
}

TEST_F(UpdaterFixture, RecordsAreReadByTheirOwnLineRules) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n1.1\r\n");
  updater.PegaVLocal();
  EXPECT_EQ(updater.VLocalService, "1.1");
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n\r\n");
  updater.PegaVLocal();
  EXPECT_EQ(updater.VLocalService, "");
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "  1.0 \t \r\n");
  updater.PegaVLocal();
  EXPECT_EQ(updater.VLocalService, "1.0 \t");

  PublishVersion("service", "  2.0  \r\noutra linha\r\n");
  updater.PegaVNET();
  EXPECT_EQ(updater.VNetService, "2.0");
  PublishVersion("service", "2.0\n\r\n");  // a lone line feed stays in the version
  updater.PegaVNET();
  EXPECT_EQ(updater.VNetService, "2.0\n");
}

TEST_F(UpdaterFixture, ALoneLineFeedVersionIsWrittenSoTheNextCheckFindsItEqual) {
  PublishVersion("service", "3.0\n");
  PublishBuild("QuarnSQLService", {{"QuarnSQLService.exe", "v3"}});
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "3.0\n\r\n");
  PassProbation();
  inet.requested.clear();
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(inet.requested.size(), 1u);  // only the version archive
}

TEST_F(UpdaterFixture, AGuiBuildThatIsNoWindowsProgramIsRefusedBeforeTheMonitorIsEnded) {
  const std::string program = fakes::WindowsProgram("gui");
  auto with = [&](size_t at, const std::string& bytes) {
    return program.substr(0, at) + bytes + program.substr(at + bytes.size());
  };
  EXPECT_TRUE(IsWindowsProgram(program));
  EXPECT_TRUE(IsWindowsProgram(with(0x58, std::string("\x0b\x01", 2))));  // 32-bit
  for (const std::string& bad :
       {std::string("MZ"), std::string("texto qualquer"), program.substr(0, 0x58),
        with(0x56, std::string("\x22\x20", 2)),  // a DLL
        with(0x3C, "\xf0\xff\xff\xff"), with(0x3C, "\x30"), with(0x40, "PX"), with(0x58, "\x07\x01")})
    EXPECT_FALSE(IsWindowsProgram(bad)) << bad.size();
  procs.Run("QuarnSQLMonitor.exe");
  PublishVersion("monitor", "2.0");
  PublishBuild("QuarnSQLMonitor", {{"QuarnSQLMonitor.exe", "not a program"}});
  updater.VerificarSeTemAtualExe();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLMonitor.exe"), "old monitor build");
  EXPECT_TRUE(procs.terminated.empty());
  EXPECT_EQ(Formatted().back(),
            (Line{kCorVermelha,
                  "Update Sistema QuarnSQLMonitor 7114-O novo build não ficou em execução: "
                  "QuarnSQLMonitor.exe do pacote QuarnSQLMonitor.zip não é um programa do Windows"}));
}

TEST_F(UpdaterFixture, TheComparisonRule) {
  EXPECT_TRUE(PrecisaAtualizar("2.0", "2.0 beta"));
  EXPECT_TRUE(PrecisaAtualizar("2.1", "2.0"));
  EXPECT_TRUE(PrecisaAtualizar("", "1.0"));
  EXPECT_TRUE(PrecisaAtualizar("Erro", "ERRO"));  // only the exact word marks a failure
  EXPECT_FALSE(PrecisaAtualizar("1.0", "1.0"));
  EXPECT_FALSE(PrecisaAtualizar("erro", "1.0"));
  EXPECT_FALSE(PrecisaAtualizar("1.0", "erro"));
}

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
      {digested("=QuarnSQLService.exe"), both, after, "2.0", "stop; back libmysql.dll; back QuarnSQLService.exe; record 1.0",
       false, {{"QuarnSQLService.exe", std::string(32, '\xaa')}}},
      {digested("=QuarnSQLService.exe"), both, after, "2.0", "stop; back libmysql.dll; record 1.0", false,
       {{"QuarnSQLService.exe", std::string(32, '\xab')}}},
      {digested("=QuarnSQLService.exe"), {"QuarnSQLService.exe"}, after, "2.0", " record 1.0"},  // not hashed
      {journal("=x.dll\t" + std::string(63, 'a')), {}, before, "2.0", "invalid =x.dll\t" + std::string(63, 'a') + "; record empty"},
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

TEST_F(UpdaterFixture, ALocalRecordReadingErroStopsTheCheckQuietly) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "erro\r\n");
  PublishVersion("service", "9.9");
  updater.VerificarSeTemAtualService();
  const auto lines = Formatted();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], (Line{0, "VersaoQuarnSQLService.Local: erro"}));
  EXPECT_EQ(inet.requested.size(), 1u);
  // Grown past its bounds it names no build: the published one is installed, and the record written again.
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", std::string(5000, '9'));
  PublishBuild("QuarnSQLService", {{"QuarnSQLService.exe", "new"}});
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "9.9\r\n");
}

TEST_F(UpdaterFixture, ServerFaultsBecomeRedErroLinesAndNoUpdate) {
  struct Case {
    std::string name;
    fakes::FakeResponse response;
    std::string expectedPrefix;
  };
  const std::string goodZip = unzip.Archive("v", {{"VersaoQuarnSQLService.ini", "5.0\r\n"}});
  auto with = [&](auto f) {
    fakes::FakeResponse r{200, goodZip};
    f(r);
    return r;
  };
  const std::vector<Case> cases = {
      {"404", {404, "<html>404</html>"}, "VersaoQuarnSQLService.Net: erro 404-"},
      {"500", {500, "oops"}, "VersaoQuarnSQLService.Net: erro 500-"},
      {"no length", with([](auto& r) { r.sendLength = false; }), "VersaoQuarnSQLService.Net: erro 13-"},
      {"negative length", with([](auto& r) { r.lengthText = "-5"; }), "VersaoQuarnSQLService.Net: erro 13-"},
      {"text length", with([](auto& r) { r.lengthText = "abc"; }), "VersaoQuarnSQLService.Net: erro 13-"},
      {"huge length", with([](auto& r) { r.lengthText = "99999999999"; }), "VersaoQuarnSQLService.Net: erro 6-"},
      {"cut body", with([](auto& r) { r.cutAfter = 3; }), "VersaoQuarnSQLService.Net: erro 62-"},
      {"no answer", with([](auto& r) { r.failRequest = true; }), "VersaoQuarnSQLService.Net: erro 12002-"},
      {"html page", {200, "<html>login</html>"}, "VersaoQuarnSQLService.Net: erro 53-"},
      {"empty length", {200, ""}, "VersaoQuarnSQLService.Net: erro 53-"},
      {"archive without record",
       {200, unzip.Archive("x", {{"outro.ini", "1"}})},
       "VersaoQuarnSQLService.Net: erro 53-"},
      {"empty record",
       {200, unzip.Archive("e", {{"VersaoQuarnSQLService.ini", ""}})},
       "VersaoQuarnSQLService.Net: erro 62-"},
      {"record over 4 KB",
       {200, unzip.Archive("b", {{"VersaoQuarnSQLService.ini", "5.0\r\n" + std::string(4092, ' ')}})},
       "VersaoQuarnSQLService.Net: erro 321-Formato de arquivo inválido: registro de versão de 4097 bytes (máximo 4096)"},
      {"line over 256 bytes",
       {200, unzip.Archive("l", {{"VersaoQuarnSQLService.ini", "5" + std::string(256, '\x01') + "\r\n"}})},
       "VersaoQuarnSQLService.Net: erro 321-Formato de arquivo inválido: linha do registro de versão de 257 bytes "
       "(máximo 256): \"5???????????????????????????????????????????????????????????????\"..."},
      {"length over the cap", with([](auto& r) { r.lengthText = "65537"; }),
       "VersaoQuarnSQLService.Net: erro 6-O tamanho anunciado (Content-Length 65537)"},
      {"stalled body", with([](auto& r) { r.pollsPerChunk = 3001; }),
       "VersaoQuarnSQLService.Net: erro 35761-O servidor parou de enviar dados por 30 s"},
      {"trickle past the deadline",
       {200, std::string(20 * 1024, 'x'), true, "", SIZE_MAX, 2, false, "", 400},
       "VersaoQuarnSQLService.Net: erro 35761-O download excedeu o tempo máximo de 60 s"},
      {"redirect loop",
       {302, "", true, "", SIZE_MAX, 2, false, kBase + "VersaoQuarnSQLService.zip"},
       "VersaoQuarnSQLService.Net: erro 302-Redirecionamentos demais (mais de 5)"},
      {"redirect to another server",
       {301, "", true, "", SIZE_MAX, 2, false, "https://espelho.test/v.zip"},
       "VersaoQuarnSQLService.Net: erro 301-Redirecionamento para outro servidor recusado: https://espelho.test/v.zip"},
      {"redirect to another scheme or port",
       {302, "", true, "", SIZE_MAX, 2, false, "http://atualizacao.test:8080/v.zip"},
       "VersaoQuarnSQLService.Net: erro 302-Redirecionamento para outro servidor recusado"},
      {"redirect without location", {302, "moved"}, "VersaoQuarnSQLService.Net: erro 302-Redirecionamento sem destino"},
      {"redirect to ftp",
       {307, "", true, "", SIZE_MAX, 2, false, "ftp://atualizacao.test/v.zip"},
       "VersaoQuarnSQLService.Net: erro 307-Redirecionamento sem destino"},
  };
  for (const auto& c : cases) {
    fs.Put(kLogs + "FormataRichTextBoxServiceMonitor.INI", "x\r\n");
    fs.Delete(kLogs + "FormataRichTextBoxServiceMonitor.INI");
    inet.routes[kBase + "VersaoQuarnSQLService.zip"] = c.response;
    updater.VerificarSeTemAtualService();
    const auto lines = Formatted();
    ASSERT_GE(lines.size(), 2u) << c.name;
    EXPECT_EQ(lines[1].color, kCorVermelha) << c.name;
    EXPECT_EQ(lines[1].text.rfind(c.expectedPrefix, 0), 0u) << c.name << ": " << lines[1].text;
    EXPECT_EQ(updater.VNetService, "erro") << c.name;
    // Only an answer read whole is left on disk, for the record reader to refuse.
    const bool oversized = c.expectedPrefix.find(" 321-") != std::string::npos;
    const bool readWhole = c.expectedPrefix.find(" 53-") != std::string::npos || c.name == "empty record" || oversized;
    EXPECT_EQ(fs.Has(kTemp + "VersaoQuarnSQLService.zip"), readWhole) << c.name;
    EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build") << c.name;
    // Readers write the error log only for a record refused as oversized, quoted short.
    EXPECT_EQ(fs.Has(kApp + "\\ErrorQuarn.ini"), oversized) << c.name;
    EXPECT_LT(fs.Has(kApp + "\\ErrorQuarn.ini") ? fs.Get(kApp + "\\ErrorQuarn.ini").size() : 0, 400u) << c.name;
    if (oversized) fs.Delete(kApp + "\\ErrorQuarn.ini");
  }
}

TEST_F(UpdaterFixture, ARecordErroOnTheServerIsNoUpdate) {
  PublishVersion("service", "erro");
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(inet.requested.size(), 1u);
  EXPECT_EQ(Formatted().back(), (Line{0, "VersaoQuarnSQLService.Local: "}));
}

TEST_F(UpdaterFixture, DownloadsReadOneChunkPerStartedKilobyte) {
  for (auto [size, expected] : std::vector<std::pair<size_t, std::vector<int>>>{
           {0, {}}, {1024, {1024}}, {1025, {1024, 1}}, {2048, {1024, 1024}}}) {
    inet.routes["http://h/f"] = fakes::FakeResponse{200, std::string(size, 'x')};
    inet.chunkSizes.clear();
    fs.Put(kTemp + "f.bin", std::string(5000, 'o'));  // a longer old file leaves no tail
    EXPECT_TRUE(updater.BaixaArquivo("  http://h/f  ", kTemp + "f.bin"));
    EXPECT_EQ(inet.chunkSizes, expected) << size;
    EXPECT_EQ(fs.Get(kTemp + "f.bin"), std::string(size, 'x'));
  }
  EXPECT_EQ(inet.requested.back(), "http://h/f");
  EXPECT_GE(loop.IdleCalls(), 8u);  // the wait for the answer let events run
}

TEST_F(UpdaterFixture, RedirectsAreFollowedAsABrowserResolvesThem) {
  const std::string base = "http://h/a/b/f.zip?x=1";
  for (auto [location, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/c/g.zip", "http://h/c/g.zip"},
           {"g.zip", "http://h/a/b/g.zip"},
           {"../g.zip", "http://h/a/g.zip"},
           {"../../../g.zip", "http://h/g.zip"},
           {" ./g.zip?y=2#parte ", "http://h/a/b/g.zip?y=2"},
           {"?y=2", "http://h/a/b/f.zip?y=2"},
           {"//outro:8080/g.zip", "http://outro:8080/g.zip"},
           {"HTTPS://Outro/x/./y/../g.zip", "https://Outro/x/g.zip"},
           {"http://h", "http://h/"},
           {"", ""},
           {"#parte", ""},
           {"ftp://h/g.zip", ""},
           {"file:///c:/g.zip", ""},
           {"http:///g.zip", ""},
       }) {
    EXPECT_EQ(ResolveRedirect(base, location), expected) << location;
  }
  // Each kind of redirect, up to the bound, ends at the body.
  const std::vector<std::pair<int, std::string>> hops = {
      {301, "/r1"}, {302, "r2"}, {303, "//h/r3"}, {307, "HTTP://H:80/r4"}, {308, "/final"}};
  std::string from = "http://h/f";
  for (const auto& [status, location] : hops) {
    inet.routes[from] = fakes::FakeResponse{status, "", true, "", SIZE_MAX, 2, false, location};
    from = ResolveRedirect(from, location);
  }
  inet.routes["http://H:80/final"] = fakes::FakeResponse{200, "corpo"};
  EXPECT_TRUE(updater.BaixaArquivo("http://h/f", kTemp + "f.bin"));
  EXPECT_EQ(fs.Get(kTemp + "f.bin"), "corpo");
  EXPECT_EQ(inet.requested, (std::vector<std::string>{"http://h/f", "http://h/r1", "http://h/r2", "http://h/r3",
                                                      "http://H:80/r4", "http://H:80/final"}));
  // One origin however it is written (the refusals are rows of the server-fault table).
  EXPECT_TRUE(SameOrigin("https://h:443/a", "HTTPS://user@H/b"));
  EXPECT_FALSE(SameOrigin("http://[::1]/a", "http://[::1]:8080/a"));
}

TEST(HttpRules, ProxyAndRetryAfter) {
  // UpdateProxy, then the machine's proxy with its bypass list, then direct.
  const ProxySettings machine{std::nullopt, "10.0.0.1:3128", "<local>;*.corp"};
  struct Row {
    std::optional<std::string> updateProxy;
    std::string proxy, description;
  } rows[] = {
      {std::nullopt, "10.0.0.1:3128",
       "Proxy das atualizações: 10.0.0.1:3128 (proxy WinHTTP da máquina; exceções: <local>;*.corp)"},
      {" proxy.corp:8080 ", "proxy.corp:8080", "Proxy das atualizações: proxy.corp:8080 (UpdateProxy)"},
      {"[::1]:3128", "[::1]:3128", "Proxy das atualizações: [::1]:3128 (UpdateProxy)"},
      {"http://proxy.corp:8080/", "proxy.corp:8080", "Proxy das atualizações: proxy.corp:8080 (UpdateProxy)"},
      {"DIRECT", "", "Proxy das atualizações: nenhum, conexão direta (UpdateProxy = direct)"},
      {"proxy.corp", "10.0.0.1:3128", "UpdateProxy inválido (\"proxy.corp\"), ignorado; Proxy das atualizações: 10.0.0.1:3128"},
      {"h:99999", "10.0.0.1:3128", "UpdateProxy inválido (\"h:99999\")"},
      {"http=a:1;https=b:2", "10.0.0.1:3128", "UpdateProxy inválido"},
  };
  for (const auto& r : rows) {
    ProxySettings s = machine;
    s.updateProxy = r.updateProxy;
    const ProxyChoice c = ChooseProxy(s);
    EXPECT_EQ(c.route.proxy, r.proxy) << r.description;
    EXPECT_EQ(c.description.rfind(r.description, 0), 0u) << c.description;
    EXPECT_EQ(c.route.bypass, c.route.proxy == "10.0.0.1:3128" ? "<local>;*.corp" : "");
  }
  EXPECT_EQ(ChooseProxy({}).description, "Proxy das atualizações: nenhum, conexão direta");
  // Retry-After as seconds or a date, a minute to six hours.
  const int64_t now = 1796817600;  // Wed, 09 Dec 2026 12:00:00 GMT
  for (auto [text, seconds] : std::vector<std::pair<std::string, std::optional<int64_t>>>{
           {"120", 120}, {"0", 60}, {"999999", 21600}, {"Wed, 09 Dec 2026 12:30:00 GMT", 1800},
           {"Wed, 09 Dec 2026 11:00:00 GMT", 60}, {"-5", std::nullopt}, {"amanhã", std::nullopt},
           {"Wed, 32 Dec 2026 12:30:00 GMT", std::nullopt}, {"", std::nullopt}}) {
    EXPECT_EQ(RetryAfterSeconds(text, now), seconds) << text;
  }
}

// 10,000 monitors through a mass reboot and a rollout widened from 1 % to
// 100 % with a hold at 10 %: every step reaches all its machines within one
// jittered period and the start delay, none takes a held publication, and the
// spread keeps the server's minutes far from the fleet asking at once.
TEST(FleetSimulation, EachStepReachesItsMachinesAndNoneTakesAHeldOne) {
  FleetSimulationInput in;
  in.steps = DefaultRolloutSteps();
  const FleetSimulationResult spread = SimulateFleet(in);
  for (const auto& step : spread.steps) {
    EXPECT_EQ(step.reached, step.reaches);
    EXPECT_LE(step.slowestSeconds, 10800 * 11 / 10 + 60 + 1);
  }
  EXPECT_EQ(spread.steps[2].reaches, 0u);  // the hold reaches no machine
  EXPECT_EQ(spread.takenWhileHeld, 0u);
  in.spread = false;
  const FleetSimulationResult fixed = SimulateFleet(in);
  EXPECT_EQ(fixed.steadyPeakPerMinute, 2u * in.machines);  // in step for good
  EXPECT_LT(spread.steadyPeakPerMinute * 10, fixed.steadyPeakPerMinute);
  EXPECT_LT(spread.peakRequestsPerSecond * 10, fixed.peakRequestsPerSecond);
}

TEST_F(UpdaterFixture, AnUnchangedArchiveCostsA304AndACutBuildIsResumed) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishVersion("service", "1.0\r\n");
  auto& version = inet.routes[kBase + "VersaoQuarnSQLService.zip"];
  version.etag = "\"v1\"";
  server.proxy.machineProxy = "10.0.0.1:3128";
  updater.VerificarSeTemAtualService();
  updater.VerificarSeTemAtualService();
  // The second check asked only if it changed, got a 304 and read the kept copy again.
  ASSERT_EQ(inet.options.size(), 2u);
  EXPECT_EQ(inet.options[1].headers, (decltype(inet.options[1].headers){{"If-None-Match", "\"v1\""}}));
  EXPECT_EQ(inet.options[1].proxy.proxy, "10.0.0.1:3128");
  EXPECT_EQ(updater.VNetService, "1.0");
  // Said once in the general log, not at each check.
  const std::string general = General();
  EXPECT_EQ(general.find("Proxy das atualizações: 10.0.0.1:3128"), general.rfind("Proxy das atualizações"));
  // A day on, the whole archive again: a validator the server failed to change costs a day at most.
  policy.now += 24 * 3600;
  updater.VerificarSeTemAtualService();
  EXPECT_TRUE(inet.options.back().headers.empty());
  // A kept copy that is gone drops its validator: the whole archive again.
  fs.Delete(kTemp + "VersaoQuarnSQLService.zip.mantido");
  updater.VerificarSeTemAtualService();
  EXPECT_TRUE(inet.options.back().headers.empty());

  // A new publication; its build is cut at 90 %, then resumed from there.
  PublishVersion("service", "1.1\r\n");
  const std::string body =
      unzip.Archive(std::string(20000, 'p'), {{"QuarnSQLService.exe", "new service build"}});  // long enough to cut
  Publish("QuarnSQLService.zip", body);
  auto& build = inet.routes[kBase + "QuarnSQLService.zip"];
  build.etag = "\"b1\"";
  build.cutAfter = body.size() * 9 / 10 / 1024 * 1024;
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(fs.Get(kTemp + "QuarnSQLService.zip.parcial").size(), build.cutAfter);
  build.cutAfter = SIZE_MAX;
  inet.options.clear();
  updater.VerificarSeTemAtualService();
  ASSERT_EQ(inet.options.size(), 2u);
  const auto& asked = inet.options[1].headers;
  EXPECT_EQ(asked[0], (std::pair<std::string, std::string>{"Range", "bytes=" + std::to_string(body.size() * 9 / 10 / 1024 * 1024) + "-"}));
  EXPECT_EQ(asked[1], (std::pair<std::string, std::string>{"If-Range", "\"b1\""}));
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "new service build");
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.zip.parcial"));

  // A busy server's Retry-After moves the next check; the other program's waits too.
  PassProbation();
  inet.routes[kBase + "VersaoQuarnSQLService.zip"] = {503, "ocupado"};
  inet.routes[kBase + "VersaoQuarnSQLService.zip"].headers["Retry-After"] = "900";
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(updater.ServerWaitMs(), 900000u);
  const size_t asks = inet.requested.size();
  updater.VerificarSeTemAtualExe();
  EXPECT_EQ(inet.requested.size(), asks);
  EXPECT_NE(General().find("pediu nova tentativa mais tarde (Retry-After: 900): a próxima verificação fica para daqui a 900 s."), std::string::npos);
  loop.Advance(900000);
  EXPECT_FALSE(updater.ServerWaitMs());
}

TEST_F(UpdaterFixture, ATrickleLetsEventsRunAndAStopEndsTheDownloadWithNothingLeft) {
  inet.routes["http://h/f"] =
      fakes::FakeResponse{200, std::string(10 * 1024, 'x'), true, "", SIZE_MAX, 2, false, "", 100};  // a chunk a second
  int ticks = 0;
  long nested = 0;
  auto heartbeat = loop.CreateTimer(1000, [&] {
    if (++ticks == 1) {
      try {
        updater.BaixaArquivo("http://h/f", kTemp + "g.bin");
      } catch (const VbError& e) {
        nested = e.Number();
      }
    }
    if (ticks == 4) loop.EndProgram();  // the service's Stop
  });
  heartbeat->SetEnabled(true);
  EXPECT_THROW(updater.BaixaArquivo("http://h/f", kTemp + "f.bin"), ProgramEnd);
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(nested, 35764);  // the transfer is busy: no second request from inside the first
  EXPECT_EQ(inet.requested.size(), 1u);
  EXPECT_LT(inet.chunkSizes.size(), 10u);
  EXPECT_GE(inet.cancels, 1);
  EXPECT_FALSE(fs.Has(kTemp + "f.bin"));
  EXPECT_FALSE(fs.Has(kTemp + "g.bin"));
}

TEST_F(UpdaterFixture, ABuildBeyondItsBoundsEndsTheUpdateWithNothingReplaced) {
  struct Case {
    const char* name;
    fakes::FakeResponse response;
    std::string report;
  };
  const std::string build = unzip.Archive("QuarnSQLService.zip", {{"QuarnSQLService.exe", "new"}});
  const std::vector<Case> cases = {
      {"length over the cap",
       {200, build, true, "268435457"},
       "Update Sistema QuarnSQLService 6-O tamanho anunciado (Content-Length 268435457) excede o limite de 268435456 "
       "bytes"},
      {"trickle past the deadline",
       {200, std::string(100 * 1024, 'x'), true, "", SIZE_MAX, 2, false, "", 700},
       "Update Sistema QuarnSQLService 35761-O download excedeu o tempo máximo de 600 s: " + kBase +
           "QuarnSQLService.zip"},
  };
  EXPECT_EQ(DownloadLimitsFor(kBase + "VersaoQuarnSqlMonitor.zip").maxBytes, 64 * 1024);
  EXPECT_EQ(DownloadLimitsFor(kBase + "QuarnSQLMonitor.zip").maxBytes, 256 * 1024 * 1024);
  PublishVersion("service", "2.0");
  for (const auto& c : cases) {
    inet.routes[kBase + "QuarnSQLService.zip"] = c.response;
    inet.chunkSizes.clear();
    const uint64_t t0 = loop.TickMs();
    updater.VerificarSeTemAtualService();
    EXPECT_EQ(Formatted().back(), (Line{kCorVermelha, c.report})) << c.name;
    EXPECT_LE(loop.TickMs() - t0, kBuildArchiveLimits.deadlineMs + 1000) << c.name;
    // Refused before reading: the one chunk read is the version record's.
    if (c.response.lengthText.size()) {
      EXPECT_EQ(inet.chunkSizes.size(), 1u) << c.name;
    }
    EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.zip")) << c.name;
    EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build") << c.name;
    EXPECT_TRUE(procs.terminated.empty()) << c.name;
    EXPECT_TRUE(watchdog->Enabled()) << c.name;
  }
}

TEST_F(UpdaterFixture, ContentLengthTexts) {
  EXPECT_EQ(ParseContentLength("0"), 0);
  EXPECT_EQ(ParseContentLength(" 1025 "), 1025);
  EXPECT_EQ(ParseContentLength("+7"), 7);
  EXPECT_EQ(ParseContentLength("2147483647"), INT32_MAX);
  for (const char* bad : {"", " ", "-1", "1e3", "12abc", "0x10", "2147483648"}) {
    EXPECT_THROW(ParseContentLength(bad), VbError) << bad;
  }
}

TEST_F(UpdaterFixture, ABuildWithoutTheProgramStopsNothing) {
  PublishVersion("service", "2.0");
  PublishBuild("QuarnSQLService", {{"leiame.txt", "sem programa"}});
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_TRUE(procs.terminated.empty());
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "");
  EXPECT_TRUE(watchdog->Enabled());
  const auto lines = Formatted();
  EXPECT_EQ(lines.back().color, kCorVermelha);
  EXPECT_EQ(lines.back().text.rfind("Update Sistema QuarnSQLService 53-", 0), 0u) << lines.back().text;
  EXPECT_NE(fs.Get(kApp + "\\ErrorQuarn.ini").find(" - Update Sistema QuarnSQLService 53-"), std::string::npos);
  EXPECT_FALSE(fs.Has(kApp + "\\leiame.txt"));
}

TEST_F(UpdaterFixture, ABuildNotUnpackedWholeReplacesNothing) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
    size_t corruptFrom;
  };
  const std::vector<Case> cases = {
      {"a later entry damaged", {{"QuarnSQLService.exe", "new"}, {"libmysql.dll", "new lib"}}, 1},
      {"two entries of one name",
       {{"a/libmysql.dll", "a"}, {"b/libmysql.dll", "b"}, {"QuarnSQLService.exe", "new"}},
       SIZE_MAX},
  };
  fs.Put(kApp + "\\libmysql.dll", "old lib");
  for (const auto& c : cases) {
    fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
    PublishVersion("service", "2.0");
    PublishBuild("QuarnSQLService", c.entries);
    unzip.corruptFrom = c.corruptFrom;
    updater.VerificarSeTemAtualService();
    EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build") << c.name;
    EXPECT_EQ(fs.Get(kApp + "\\libmysql.dll"), "old lib") << c.name;
    EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n") << c.name;
    EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning) << c.name;
    EXPECT_EQ(Formatted().back().text.rfind("Update Sistema QuarnSQLService 321-", 0), 0u) << c.name;
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

// ---- signed builds ---------------------------------------------------------------

using fakes::Entries;
using fakes::SignedBuild;
using fakes::SignedStatement;

// A staged rollout reaches the machines whose bucket is below it, a hold
// reaches none and takes nothing back; each is said once per publication.
TEST_F(UpdaterFixture, AStagedRolloutReachesTheBucketsBelowItAndAHoldReachesNone) {
  const publish::PrivateKey key = publish::GenerateKey();
  const Entries build = SignedBuild(key, "QuarnSQLService", "2.0", {{"QuarnSQLService.exe", "new service build"}});
  fakes::FakePublications publications;
  publish::OpenSslCrypto crypto;
  fakes::FakeKeySource keys;
  keys.settings = {{"compiladas", ToHex(publish::PublicKey(key)), ""}};
  WholeFileChunks chunks(fs);
  BuildVerifier verifier(BuildCheckPorts{fs, chunks, loop, crypto, keys, publications});
  Updater u{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock}, kApp, logs, *watchdog,
            kTemp, &verifier};
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishBuild("QuarnSQLService", build);
  policy.bucket = 4200;
  policy.reports = true;
  const auto check = [&](uint64_t n, uint32_t rollout, bool hold) {
    const std::string statement = SignedStatement(key, "QuarnSQLService", "2.0", n, publications.now + 86400,
                                                  build.back().second, rollout, hold);
    Publish("VersaoQuarnSQLService.zip", unzip.Archive("v" + std::to_string(n) + (hold ? "h" : ""),
                                                       {{"VersaoQuarnSQLService.ini", "2.0\r\n"}, {kStatementName, statement}}));
    u.VerificarSeTemAtualService();
    return fs.Get(kApp + "\\QuarnSQLService.exe");
  };
  EXPECT_EQ(check(7, kRolloutAll, true), "old service build");
  EXPECT_EQ(check(8, 1000, false), "old service build");
  EXPECT_EQ(check(8, 1000, false), "old service build");
  EXPECT_EQ(check(9, 4200, false), "old service build");
  const std::string said = General();
  for (const auto& [line, times] : std::vector<std::pair<std::string, size_t>>{
           {"Publicação 7 suspensa pelo publicador: esta máquina mantém o build 1.0", 1},
           {"Publicação 8 em implantação gradual (10%): esta máquina aguarda", 1},
           {"Publicação 9 em implantação gradual (42%): esta máquina aguarda", 1}}) {
    size_t n = 0;
    for (size_t at = said.find(line); at != std::string::npos; at = said.find(line, at + 1)) ++n;
    EXPECT_EQ(n, times) << line;
  }
  EXPECT_EQ(check(10, 4201, false), "new service build");
  PassProbation();
  EXPECT_EQ(check(11, 4201, true), "new service build");  // a hold never takes a build back
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "2.0\r\n");
  // Each step reported once, to the server's report address, nothing else in it.
  std::vector<std::string> reports;
  for (const std::string& url : inet.requested)
    if (url.rfind(kBase + "relatorio?", 0) == 0) reports.push_back(url.substr(kBase.size() + 10));
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "programa=QuarnSQLService&de=1.0&para=2.0&publicacao=7&resultado=aguardando&balde=4200",
                         "programa=QuarnSQLService&de=1.0&para=2.0&publicacao=8&resultado=aguardando&balde=4200",
                         "programa=QuarnSQLService&de=1.0&para=2.0&publicacao=9&resultado=aguardando&balde=4200",
                         "programa=QuarnSQLService&de=1.0&para=2.0&publicacao=10&resultado=instalado&balde=4200",
                         "programa=QuarnSQLService&de=1.0&para=2.0&publicacao=10&resultado=mantido&balde=4200"}));
  EXPECT_FALSE(fs.Has(kTemp + "RelatoriosPendentes.ini") && !ParseReportQueue(fs.Get(kTemp + "RelatoriosPendentes.ini")).empty());
}

TEST_F(UpdaterFixture, ABuildIsInstalledOnlyWhenItsPublicationAndManifestVouchForItUnderATrustedKey) {
  const publish::PrivateKey ours = publish::GenerateKey(), other = publish::GenerateKey();
  const std::string ourKey = ToHex(publish::PublicKey(ours));
  const Entries files = {{"QuarnSQLService.exe", "new service build"}, {"libmysql.dll", "lib"}};
  const Entries good = SignedBuild(ours, "QuarnSQLService", "2.0", files);
  auto with = [&](Entries e, const std::string& name, const std::string& bytes) {
    for (auto& entry : e)
      if (entry.first == name) entry.second = bytes;
    return e;
  };
  auto without = [](Entries e, const std::string& name) {
    e.erase(std::remove_if(e.begin(), e.end(), [&](auto& x) { return x.first == name; }), e.end());
    return e;
  };
  const std::string manifest = good.back().second;
  fakes::FakePublications publications;
  const int64_t later = publications.now + 86400;
  const std::string statement = SignedStatement(ours, "QuarnSQLService", "2.0", 7, later, manifest);
  const std::vector<KeySetting> trusted = {{"compiladas", ourKey, ""}};
  struct Row {
    const char* name;
    Entries build;
    std::vector<KeySetting> keys;
    std::string refusal;         // the red line, after "Update Sistema QuarnSQLService " unless it is the record's
    std::string logged = "";     // also in the error log
    std::string statement = "";  // the signed statement served beside the record; "-" for none
    bool allowUnsigned = false;
    uint64_t highest = 0;  // publication installed before
    std::string local = "1.0\r\n";
    bool guiHasLibrary = false;  // the GUI monitor's build in place lists libmysql.dll
  };
  const std::string net = "VersaoQuarnSQLService.Net: erro ";
  const std::string noKey = "7107-Nenhuma chave pública de atualização válida (UpdatePublicKeys); atualização recusada";
  const std::vector<Row> rows = {
      {"signed by our key", good, trusted, ""},
      {"no key configured, unsigned build", files, {}, net + noKey, "", "-"},
      {"no key configured, signed build", good, {}, net + noKey},
      {"no key, unsigned allowed by the administrator", files, {}, "", "AllowUnsignedUpdates = 1", "-", true},
      {"a key, unsigned allowed", files, trusted, "", "AllowUnsignedUpdates = 1", "-", true},
      {"unsigned allowed, a changed signed build is still refused",
       with(good, "QuarnSQLService.exe", "NEW service build"), trusted,
       "7105-SHA-256 de QuarnSQLService.exe difere do manifesto", "", "", true},
      {"unsigned allowed, a signed publication's build without its manifest", files, trusted,
       "7101-Pacote sem manifesto assinado (QuarnManifest.txt)", "", "", true},
      {"one bad and one good key",
       good,
       {{"UpdatePublicKeys", "abc;" + ourKey, ""}},
       "",
       "Chaves de atualização UpdatePublicKeys: chave inválida ignorada (3 caracteres"},
      {"registry unreadable, compiled key good",
       good,
       {{"UpdatePublicKeys", "", "tipo de valor não suportado"}, trusted[0]},
       ""},
      {"signed by another key", SignedBuild(other, "QuarnSQLService", "2.0", files), trusted,
       "7106-Assinatura do manifesto não confere com nenhuma chave confiável"},
      {"program changed after signing", with(good, "QuarnSQLService.exe", "NEW service build"), trusted,
       "7105-SHA-256 de QuarnSQLService.exe difere do manifesto"},
      {"program grown after signing", with(good, "QuarnSQLService.exe", "new service build!"), trusted,
       "7105-Tamanho de QuarnSQLService.exe difere do manifesto"},
      {"entry added after signing",
       [&] {
         Entries e = good;
         e.emplace_back("extra.dll", "x");
         return e;
       }(),
       trusted, "7105-Arquivo fora do manifesto: extra.dll"},
      {"another program's file, signed or not", [&] {
         Entries e = good;
         e.emplace_back("aunzip32.dll", "x");
         return e;
       }(),
       trusted, "7105-Arquivo de outro programa no pacote: aunzip32.dll", "", "", true},
      {"a file of the other program's build in place", good, trusted,
       "7105-Arquivo de outro programa no pacote: libmysql.dll", "", "", false, 0, "1.0\r\n", true},
      {"a short name, which may stand for any file", SignedBuild(ours, "QuarnSQLService", "2.0", {{"QuarnSQLService.exe", "x"}, {"AUNZIP~1.DLL", "x"}}),
       trusted, "7105-Arquivo de outro programa no pacote: AUNZIP~1.DLL"},
      {"entry removed after signing", without(good, "libmysql.dll"), trusted,
       "7105-Arquivo do manifesto ausente no pacote: libmysql.dll"},
      {"manifest of the other program", SignedBuild(ours, "QuarnSQLMonitor", "2.0", files), trusted,
       "7103-Manifesto de outro programa: QuarnSQLMonitor"},
      {"version other than the record's", SignedBuild(ours, "QuarnSQLService", "2.1", files), trusted,
       "7104-Versão do manifesto (2.1) difere da publicada (2.0)"},
      {"another build of the same version than the one published",
       SignedBuild(ours, "QuarnSQLService", "2.0", with(files, "libmysql.dll", "lib 2")), trusted,
       "7111-Declaração de publicação inválida: o manifesto do pacote não é o da publicação"},
      {"empty manifest", with(good, kManifestName, ""), trusted, "7102-Manifesto inválido: manifesto vazio"},
      {"truncated manifest", with(good, kManifestName, manifest.substr(0, manifest.size() - 40)), trusted,
       "7102-Manifesto inválido: linha 6 sem CRLF"},
      {"garbage manifest", with(good, kManifestName, "lixo\x90\r\nlixo\r\n"), trusted,
       "7102-Manifesto inválido: manifesto incompleto"},
      {"no manifest with a key", files, trusted, "7101-Pacote sem manifesto assinado (QuarnManifest.txt)"},
      {"configured keys none of which parses", good, {{"UpdatePublicKeys", "00ff;zz", ""}}, net + noKey},
      {"configured key that cannot be read", good, {{"UpdatePublicKeys", "", "erro 5 ao ler o valor"}}, net + noKey},
      {"a record without its statement", good, trusted,
       net + "7110-Registro de versão sem declaração de publicação assinada (QuarnPublicacao.txt)", "", "-"},
      {"a statement signed by another key", good, trusted,
       net + "7112-Assinatura da declaração de publicação não confere com nenhuma chave confiável", "",
       SignedStatement(other, "QuarnSQLService", "2.0", 7, later, manifest)},
      {"a statement for another record", good, trusted,
       net + "7111-Declaração de publicação inválida: versão (2.1) difere da do registro (2.0)", "",
       SignedStatement(ours, "QuarnSQLService", "2.1", 7, later, manifest)},
      {"a statement of the other program", good, trusted,
       net + "7111-Declaração de publicação inválida: de outro programa: QuarnSQLMonitor", "",
       SignedStatement(ours, "QuarnSQLMonitor", "2.0", 7, later, manifest)},
      {"a replayed older publication, after a repair emptied the record", good, trusted,
       net + "7108-Publicação mais antiga que a instalada: publicação 7, instalada 9", "", "", false, 9, ""},
      {"the installed publication again", good, trusted, "", "", "", false, 7},
      {"an expired statement", good, trusted, net + "7109-Publicação vencida: válida até 2026-11-29T00:53:20Z", "",
       SignedStatement(ours, "QuarnSQLService", "2.0", 7, publications.now - 86400, manifest)},
  };
  publish::OpenSslCrypto crypto;
  fakes::FakeKeySource keys;
  WholeFileChunks chunks(fs);
  BuildVerifier verifier(BuildCheckPorts{fs, chunks, loop, crypto, keys, publications});
  Updater signedUpdater{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock},
                        kApp,
                        logs,
                        *watchdog,
                        kTemp,
                        &verifier};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clock.AddSeconds(RepeatFilter::kWindowSeconds);  // the same refusal as the row before is no repeat
    fs.Put(kApp + "\\QuarnSQLService.exe", "old service build");
    fs.Put(kLogs + "VersaoQuarnSQLService.ini", row.local);
    for (const auto& f :
         {kLogs + "FormataRichTextBoxServiceMonitor.INI", kApp + "\\ErrorQuarn.ini", kApp + "\\libmysql.dll"})
      if (fs.Has(f)) fs.Delete(f);
    keys.settings = row.keys;
    keys.allowUnsigned = row.allowUnsigned;
    const std::string guiList = kLogs + "InstaladoQuarnSQLMonitor.ini";
    if (row.guiHasLibrary)
      fs.Put(guiList, FormatInstalledBuild({"1.0", 1, "", {{"QuarnSQLMonitor.exe"}, {"libmysql.dll"}}}));
    else if (fs.Has(guiList))
      fs.Delete(guiList);
    publications.highest = {{"QuarnSQLService", row.highest}};
    Entries version = {{"VersaoQuarnSQLService.ini", "2.0\r\n"}};
    if (row.statement != "-") version.emplace_back(kStatementName, row.statement.empty() ? statement : row.statement);
    Publish("VersaoQuarnSQLService.zip", unzip.Archive("version " + std::string(row.name), version));
    PublishBuild("QuarnSQLService", row.build);
    const size_t stopsBefore = std::count(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService");
    const size_t killsBefore = procs.terminated.size();
    signedUpdater.VerificarSeTemAtualService();
    EXPECT_FALSE(fs.Has(kApp + "\\" + kManifestName));
    const auto errorLog = [&] { return codec.FromAnsi(fs.Get(kApp + "\\ErrorQuarn.ini")); };
    EXPECT_NE(errorLog().find(row.logged), std::string::npos);
    EXPECT_TRUE(watchdog->Enabled());
    if (row.refusal.empty()) {
      EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "new service build");
      ASSERT_FALSE(Formatted().empty());
      EXPECT_EQ(Formatted().back().text, "Monitorando...");
      PassProbation();
      EXPECT_EQ(publications.highest["QuarnSQLService"], row.statement == "-" ? row.highest : 7u);
      continue;
    }
    const std::string text =
        row.refusal.rfind("Versao", 0) == 0 ? row.refusal : "Update Sistema QuarnSQLService " + row.refusal;
    const auto lines = Formatted();
    EXPECT_NE(std::find(lines.begin(), lines.end(), Line{kCorVermelha, text}), lines.end()) << text;
    EXPECT_NE(errorLog().find(text), std::string::npos);
    // Refused before anything running was touched.
    EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
    EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService"), stopsBefore);
    EXPECT_EQ(procs.terminated.size(), killsBefore);
    EXPECT_EQ(publications.highest["QuarnSQLService"], row.highest);
    for (const auto& l : lines) EXPECT_NE(l.text, "Parando o QuarnSQLService.");
  }
}

}  // namespace
}  // namespace quarn
