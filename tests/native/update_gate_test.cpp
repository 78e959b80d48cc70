// What lets a publication in: signed builds and statements under a trusted
// key, staged rollouts and holds, and the fleet under the same rules.
#include <gtest/gtest.h>

#include "fakes/updater_fixture.h"
#include "monitor/update/fleet_simulation.h"
#include "monitor/update/reports.h"
#include "monitor/update/update_stack.h"

namespace quarn {
namespace {

using fakes::Entries;
using fakes::SignedBuild;
using fakes::SignedStatement;

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
  UpdateStack stack(UpdateStackPorts{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock},
                                     chunks, crypto, keys, publications, UpdateObserver::None()},
                    kApp, logs, *watchdog);
  Updater& u = stack.updater;
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishBuild("QuarnSQLService", build);
  policy.bucket = 4200;
  policy.reports = true;
  const auto check = [&](uint64_t n, uint32_t rollout, bool hold) {
    const std::string statement =
        SignedStatement(key, "QuarnSQLService", "2.0", n, publications.now + 86400, build.back().second, rollout, hold);
    Publish("VersaoQuarnSQLService.zip",
            unzip.Archive("v" + std::to_string(n) + (hold ? "h" : ""),
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
  EXPECT_FALSE(fs.Has(kTemp + "RelatoriosPendentes.ini") &&
               !ParseReportQueue(fs.Get(kTemp + "RelatoriosPendentes.ini")).empty());
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
      {"another program's file, signed or not",
       [&] {
         Entries e = good;
         e.emplace_back("aunzip32.dll", "x");
         return e;
       }(),
       trusted, "7105-Arquivo de outro programa no pacote: aunzip32.dll", "", "", true},
      {"a file of the other program's build in place", good, trusted,
       "7105-Arquivo de outro programa no pacote: libmysql.dll", "", "", false, 0, "1.0\r\n", true},
      {"a short name, which may stand for any file",
       SignedBuild(ours, "QuarnSQLService", "2.0", {{"QuarnSQLService.exe", "x"}, {"AUNZIP~1.DLL", "x"}}), trusted,
       "7105-Arquivo de outro programa no pacote: AUNZIP~1.DLL"},
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
  UpdateStack stack(UpdateStackPorts{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock},
                                     chunks, crypto, keys, publications, UpdateObserver::None()},
                    kApp, logs, *watchdog);
  Updater& signedUpdater = stack.updater;
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
