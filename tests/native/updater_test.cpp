// The updater's check and its update: the reports' lines, the records' rules,
// the server's faults, the GUI monitor ended and replaced.
#include <gtest/gtest.h>

#include "fakes/updater_fixture.h"

namespace quarn {
namespace {

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
       "VersaoQuarnSQLService.Net: erro 321-Formato de arquivo inválido: registro de versão de 4097 bytes (máximo "
       "4096)"},
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

}  // namespace
}  // namespace quarn
