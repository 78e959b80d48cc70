// The publishing tool and the manifest check that stands between a download
// and the suite folder.
#include <gtest/gtest.h>

#include <tuple>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "aunzip32/extract.h"
#include "fakes/fakes.h"
#include "fakes/update_fakes.h"
#include "monitor/update/manifest.h"
#include "monitor/update/reports.h"
#include "tools/quarn-publish/fleet_report.h"
#include "tools/quarn-publish/publish.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using publish::BuildFile;

using fakes::kApp;
const std::string kStaging = kApp + "\\temp\\QuarnSQLService.novo";

const publish::PublicationTimes kTimes{1, 1796000000 - 3600, 1796000000 + 30 * 86400};

// The verifier on a staging folder of the memory file system.
struct Staging {
  fakes::MemoryFileSystem files;
  Cp1252Codec codec;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  publish::OpenSslCrypto crypto;
  fakes::FakeKeySource keys;
  fakes::FakePublications publications;
  WholeFileChunks chunks{files};
  MonitorLogs logs{LogContext{files, codec, clock, dates, kApp}};
  BuildVerifier verifier{BuildCheckPorts{files, chunks, loop, crypto, keys, publications}};

  explicit Staging(const publish::PrivateKey& key) {
    for (const std::string& d : {std::string("C:\\Solvane"), kApp, kApp + "\\Logs", kApp + "\\temp", kStaging})
      files.AddDir(d);
    keys.settings = {{"compiladas", ToHex(publish::PublicKey(key)), ""}};
  }
  // 0 when the build is accepted, else the refusal's number.
  long Check(const std::string& version = "2.0", const Publication& publication = {}) {
    try {
      verifier.VerificaPacote(kStaging, "QuarnSQLService", version, publication, logs);
      return 0;
    } catch (const VbError& e) {
      return e.Number();
    }
  }
};

TEST(Publish, SignaturesAreTheDeterministicOnesOfRfc6979) {
  // RFC 6979, A.2.5: P-256, SHA-256, message "sample".
  std::string scalar, r, s;
  FromHex("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721", scalar);
  const std::string sig = publish::SignP256({scalar}, publish::Sha256Of("sample"));
  EXPECT_EQ(ToHex(sig),
            "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
            "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8");
  publish::OpenSslCrypto crypto;
  EXPECT_TRUE(crypto.VerifyP256(publish::PublicKey({scalar}), publish::Sha256Of("sample"), sig));
  EXPECT_FALSE(crypto.VerifyP256(publish::PublicKey({scalar}), publish::Sha256Of("samplf"), sig));
  // A PEM round trip keeps the key.
  EXPECT_EQ(publish::LoadPrivateKeyPem(publish::PrivateKeyPem({scalar})).scalar, scalar);
}

TEST(Publish, WhatThePublisherWritesTheMonitorUnpacksAndAccepts) {
  const publish::PrivateKey key = publish::GenerateKey();
  const std::vector<BuildFile> build = {{"libmysql.dll", std::string(70000, 'l')},
                                        {"QuarnSQLService.exe", "MZ new service"}};
  const auto archives = publish::Publish("QuarnSQLService", "2.0 beta", build, key, kTimes);
  EXPECT_EQ(archives, publish::Publish("QuarnSQLService", "2.0 beta", build, key, kTimes)) << "not deterministic";
  ASSERT_EQ(archives.size(), 2u);

  // Through our own extraction library, on a real folder.
  char pattern[] = "/tmp/quarn-publish.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  std::map<std::string, std::string> extracted;
  for (const auto& [name, bytes] : archives) {
    std::ofstream(root / name, std::ios::binary) << bytes;
    fs::create_directory(root / (name + ".out"));
    auto ops = unzip::MakeSystemFileOps();
    ASSERT_GT(unzip::Extract(*ops, {(root / name).string(), (root / (name + ".out")).string()}), 0) << name;
    for (const auto& e : fs::directory_iterator(root / (name + ".out"))) {
      std::ifstream in(e.path(), std::ios::binary);
      extracted[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  fs::remove_all(root);
  EXPECT_EQ(extracted["VersaoQuarnSQLService.ini"], "2.0 beta\r\n");

  Staging staging(key);
  staging.files.Put(kApp + "\\temp\\" + kStatementName, extracted.at(kStatementName));
  const Publication pub =
      staging.verifier.VerificaPublicacao(kApp + "\\temp", "QuarnSQLService", "2.0 beta", staging.logs);
  EXPECT_TRUE(pub.isSigned);
  EXPECT_EQ(pub.number, 1u);
  EXPECT_EQ(pub.validUntil, kTimes.validUntil);
  for (const std::string f : {"QuarnSQLService.exe", "libmysql.dll", kManifestName})
    staging.files.Put(kStaging + "\\" + f, extracted.at(f));
  EXPECT_EQ(staging.Check("2.0 beta", pub), 0);
  EXPECT_FALSE(staging.files.Has(kStaging + "\\" + kManifestName));
  EXPECT_EQ(archives.count("VersaoQuarnSqlMonitor.zip"), 0u);
  EXPECT_EQ(publish::Publish("QuarnSQLMonitor", "2", {{"QuarnSQLMonitor.exe", "gui"}}, key, kTimes)
                .count("VersaoQuarnSqlMonitor.zip"),
            1u);

  // Re-signing changes the statement's number and times, nothing else.
  const std::string versionZip = archives.at("VersaoQuarnSQLService.zip");
  const std::string resigned = publish::Resign(versionZip, key, {2, kTimes.signedAt + 10, kTimes.validUntil + 10});
  Statement before, after;
  ASSERT_TRUE(publish::ReadStatement(versionZip, before));
  ASSERT_TRUE(publish::ReadStatement(resigned, after));
  EXPECT_EQ(after.number, 2u);
  EXPECT_EQ(after.manifestSha256, before.manifestSha256);
  EXPECT_EQ(publish::ReadZip(resigned).at("VersaoQuarnSQLService.ini"), "2.0 beta\r\n");
  EXPECT_THROW(publish::Resign(versionZip, key, {1, kTimes.signedAt, kTimes.validUntil}), std::runtime_error);
  // A rollout's reach and a hold are signed lines of the statement, read back as written.
  for (const auto& [rollout, hold] : {std::pair<uint32_t, bool>{2500, false}, {0, false}, {2500, true}}) {
    ASSERT_TRUE(publish::ReadStatement(
        publish::Resign(versionZip, key, {3, kTimes.signedAt, kTimes.validUntil, rollout, hold}), after));
    EXPECT_EQ(std::make_pair(after.rollout, after.hold), std::make_pair(hold ? kRolloutAll : rollout, hold));
    EXPECT_NE(after.signedPart.find(hold ? "\r\nhold\r\n" : "\r\nrollout " + std::to_string(rollout) + "\r\n"),
              std::string::npos);
  }
}

TEST(Publish, RefusesWhatTheMonitorCouldNotInstallAsPublished) {
  const publish::PrivateKey key = publish::GenerateKey();
  const BuildFile program{"QuarnSQLService.exe", "MZ"};
  struct Row {
    const char* why;
    std::string program, version;
    std::vector<BuildFile> files;
  };
  const std::vector<Row> rows = {
      {"empty version", "QuarnSQLService", "", {program}},
      {"the failure marker", "QuarnSQLService", "erro", {program}},
      {"spaces the record trims", "QuarnSQLService", "2.0 ", {program}},
      {"a line end", "QuarnSQLService", "2.0\r\n3.0", {program}},
      {"a tab", "QuarnSQLService", "2.0\t", {program}},
      {"outside code page 1252", "QuarnSQLService", "2.0 \xe2\x9c\x93", {program}},
      {"no program file", "QuarnSQLService", "2.0", {{"libmysql.dll", "x"}}},
      {"the other program's file only", "QuarnSQLService", "2.0", {{"QuarnSQLMonitor.exe", "x"}}},
      {"an unknown program", "QuarnSQLBackup", "2.0", {{"QuarnSQLBackup.exe", "x"}}},
      {"a device name", "QuarnSQLService", "2.0", {program, {"CON", "x"}}},
      {"a name the extraction changes", "QuarnSQLService", "2.0", {program, {"a.txt.", "x"}}},
      {"a name read back as another", "QuarnSQLService", "2.0", {program, {"ação.txt", "x"}}},
      {"the manifest's own name", "QuarnSQLService", "2.0", {program, {"quarnmanifest.txt", "x"}}},
      {"one file twice", "QuarnSQLService", "2.0", {program, {"QUARNSQLSERVICE.EXE", "y"}}},
      {"one file twice, apart in the list",
       "QuarnSQLService",
       "2.0",
       {program, {"b.dll", "x"}, {"A.dll", "x"}, {"a.DLL", "y"}}},
      {"the extraction library", "QuarnSQLMonitor", "2.0", {{"QuarnSQLMonitor.exe", "x"}, {"aunzip32.dll", "x"}}},
      {"the service's program", "QuarnSQLMonitor", "2.0", {{"QuarnSQLMonitor.exe", "x"}, {"QuarnSQLService.EXE", "x"}}},
  };
  for (const Row& r : rows)
    EXPECT_THROW(publish::Publish(r.program, r.version, r.files, key, kTimes), std::runtime_error) << r.why;
}

// The mistakes a fleet would pay for are refused naming the flag that mends
// or allows them; the real clock judges the expiry, whatever the signing time.
TEST(Publish, APublishersMistakeIsRefusedNamingItsFlag) {
  const int64_t now = kTimes.signedAt, day = 86400;
  Statement last;
  last.program = "QuarnSQLService", last.version = "2.0 beta", last.number = 7;
  const std::string s = "QuarnSQLService";
  struct Row {
    const char* refusal;  // the flag named, or "" when accepted with number
    uint64_t number;
    bool hasLast;
    int64_t signedAt;
    publish::Request r;  // resign, program, version, out, number, valid days, allow expired, same version
  };
  const std::vector<Row> rows = {
      {"--number", 0, false, now, {false, s, "2.1", "pub"}},
      {"", 1, false, now, {false, s, "2.1", "pub", "1"}},
      {"--number", 0, true, now, {false, s, "2.1", "pub", "1000000000000000000"}},
      {"", 999999999999999999, true, now, {false, s, "2.1", "pub", "999999999999999999"}},
      {"--same-version", 0, true, now, {false, s, "2.0 beta", "pub"}},
      {"", 8, true, now, {false, s, "2.0 beta", "pub", "", "30", false, true}},
      {"", 8, true, now, {false, s, "2.0 Beta", "pub"}},
      {"--allow-expired", 0, true, now - 10 * day, {false, s, "2.1", "pub", "", "10"}},
      {"", 8, true, now - 10 * day, {false, s, "2.1", "pub", "", "10", true}},
      {"--allow-expired", 0, true, now - 10 * day, {true, s, "", "pub", "", "1"}},
      {"--rollout", 0, true, now, {false, s, "2.1", "pub", "", "30", false, false, "100.5"}},
      {"--rollout", 0, true, now, {false, s, "2.1", "pub", "", "30", false, false, "12.345"}},
      {"--percent", 0, true, now, {true, s, "", "pub", "", "30", false, false, "-1"}},
      {"--percent", 0, true, now, {true, s, "", "pub", "", "30", false, false, "5."}},
  };
  // The reach asked for, kept by a plain resign, stopped by a hold; after a
  // staged publication a new one names its reach.
  last.rollout = 2500;
  EXPECT_THROW(publish::Plan({false, s, "2.1", "pub"}, &last, now, now), std::runtime_error);
  for (const auto& [r, rollout, hold] : std::vector<std::tuple<publish::Request, uint32_t, bool>>{
           {{false, s, "2.1", "pub", "", "30", false, false, "100"}, kRolloutAll, false},
           {{false, s, "2.1", "pub", "", "30", false, false, "0,01"}, 1, false},
           {{true, s, "", "pub"}, 2500, false},
           {{true, s, "", "pub", "", "30", false, false, "12.5"}, 1250, false},
           {{true, s, "", "pub", "", "30", false, false, "", true}, 2500, true}}) {
    const publish::PublicationTimes t = publish::Plan(r, &last, now, now);
    EXPECT_EQ(std::make_pair(t.rollout, t.hold), std::make_pair(rollout, hold)) << r.percent;
  }
  last.rollout = kRolloutAll;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.r.version + " #" + row.r.number + " " + row.r.validDays + (row.r.resign ? "d, resign" : "d"));
    try {
      EXPECT_EQ(publish::Plan(row.r, row.hasLast ? &last : nullptr, row.signedAt, now).number, row.number);
      EXPECT_STREQ(row.refusal, "");
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(row.refusal), std::string::npos) << e.what();
      EXPECT_NE(*row.refusal, '\0') << e.what();
    }
  }
}

// Any damage to a signed manifest, at any byte, is refused without a crash;
// only the manifest as signed passes.
TEST(Publish, EveryTruncationAndEveryChangedByteOfAManifestIsRefused) {
  const publish::PrivateKey key = publish::GenerateKey();
  const auto archives = publish::Publish("QuarnSQLService", "2.0", {{"QuarnSQLService.exe", "MZ"}}, key, kTimes);
  const std::string body =
      ManifestSignedPart("QuarnSQLService", "2.0", {{"QuarnSQLService.exe", 2, publish::Sha256Of("MZ")}});
  const std::string manifest = body + ManifestSignatureLine(publish::SignP256(key, publish::Sha256Of(body)));
  Staging staging(key);
  auto checkWith = [&](const std::string& bytes) {
    staging.files.Put(kStaging + "\\QuarnSQLService.exe", "MZ");
    staging.files.Put(kStaging + "\\" + kManifestName, bytes);
    return staging.Check();
  };
  ASSERT_EQ(checkWith(manifest), 0);
  for (size_t n = 0; n < manifest.size(); ++n) EXPECT_NE(checkWith(manifest.substr(0, n)), 0) << "cut at " << n;
  for (size_t i = 0; i < manifest.size(); ++i)
    for (const unsigned char x : {0x01, 0x20, 0x80, 0xFF}) {
      std::string bad = manifest;
      bad[i] = static_cast<char>(bad[i] ^ x);
      EXPECT_NE(checkWith(bad), 0) << "byte " << i << " ^ " << int(x);
    }
  EXPECT_NE(checkWith(manifest + "arquivo 0 " + std::string(64, '0') + " x\r\n"), 0);
  EXPECT_NE(checkWith(std::string(kMaxManifestBytes + 1, 'a')), 0);

  // The same for the statement beside the version record.
  const std::string statement = publish::ReadZip(archives.at("VersaoQuarnSQLService.zip")).at(kStatementName);
  auto vouches = [&](const std::string& bytes) {
    staging.files.Put(kStaging + "\\" + kStatementName, bytes);
    try {
      staging.verifier.VerificaPublicacao(kStaging, "QuarnSQLService", "2.0", staging.logs);
      return true;
    } catch (const VbError&) {
      return false;
    }
  };
  ASSERT_TRUE(vouches(statement));
  for (size_t n = 0; n < statement.size(); ++n) EXPECT_FALSE(vouches(statement.substr(0, n))) << "cut at " << n;
  for (size_t i = 0; i < statement.size(); ++i)
    for (const unsigned char x : {0x01, 0x80}) {
      std::string bad = statement;
      bad[i] = static_cast<char>(bad[i] ^ x);
      EXPECT_FALSE(vouches(bad)) << "byte " << i << " ^ " << int(x);
    }
}

TEST(Publish, HashingABigFileLetsTheWindowsEventsRunBetweenChunks) {
  Staging staging(publish::GenerateKey());
  const std::string big(5 * BuildVerifier::kHashChunk + 7, 'x');
  staging.files.Put(kStaging + "\\big.bin", big);
  const uint64_t before = staging.loop.IdleCalls();
  EXPECT_EQ(staging.verifier.HashFile(kStaging + "\\big.bin"), publish::Sha256Of(big));
  EXPECT_GE(staging.loop.IdleCalls() - before, 6u);
}

TEST(Publish, TrustedKeysAreSplitOnBlanksAndSemicolonsAndBadOnesAreNamed) {
  const std::string a(128, 'a'), b(128, 'B');
  const TrustedKeys k = ParseTrustedKeys({{"UpdatePublicKeys", " " + a + ";\r\n" + b + "\t" + a + ";;xyz", ""}});
  EXPECT_TRUE(k.configured);
  EXPECT_EQ(k.keys.size(), 2u);
  ASSERT_EQ(k.rejected.size(), 1u);
  EXPECT_NE(k.rejected[0].find("xyz"), std::string::npos);
  EXPECT_FALSE(ParseTrustedKeys({}).configured);
  const TrustedKeys empty = ParseTrustedKeys({{"UpdatePublicKeys", "", ""}});
  EXPECT_TRUE(empty.configured);  // set but empty: nothing is trusted, so nothing installs
  EXPECT_TRUE(empty.keys.empty());
}

}  // namespace
}  // namespace quarn

namespace quarn {
namespace {

// What nginx logs of the monitors' reports, summed per publication with each
// bucket counted by its last report; other requests pass, broken lines are counted.
TEST(FleetReport, EachBucketCountsOnceByItsLastReport) {
  const auto line = [](const std::string& query) {
    return "10.0.0.9 - - [09/Dec/2026:12:00:00 +0000] \"GET /CentralUpdate/QuarnSqlSolvane/relatorio?" + query +
           " HTTP/1.1\" 404 153 \"-\" \"QuarnSQLServiceMonitor\"";
  };
  const std::string q = "programa=QuarnSQLService&de=1.0&para=2.0%20beta&publicacao=10&resultado=";
  publish::FleetReader r;
  for (const std::string& l : {line(q + "instalado&balde=7"), line(q + "mantido&balde=7"),
                               line(q + "instalado&balde=8"), line(q + "revertido&balde=9"),
                               line("programa=QuarnSQLService&de=1.0&para=2.1&publicacao=11&resultado=aguardando&balde=7"),
                               std::string("10.0.0.9 - - [09/Dec/2026:12:00:01 +0000] \"GET /CentralUpdate/QuarnSqlSolvane/"
                                           "VersaoQuarnSQLService.zip HTTP/1.1\" 304 0 \"-\" \"-\""),
                               line(q + "instalado&balde=10000"), line(q + "perdido&balde=3"),
                               line(q + "instalado&balde=%G1"), std::string("lixo"), std::string("")})
    r.Line(l);
  const publish::FleetSummary s = r.Summary();
  EXPECT_EQ(publish::FormatSummary(s),
            "QuarnSQLService publicação 10: instalado 1, mantido 1, revertido 1 (3 máquinas)\n"
            "QuarnSQLService publicação 11: aguardando 1 (1 máquina)\n"
            "5 relatórios lidos, 4 linhas ignoradas\n");
  EXPECT_EQ(publish::FormatSummaryJson(s),
            "{\"publicacoes\": [{\"programa\": \"QuarnSQLService\", \"publicacao\": 10, \"resultados\": "
            "{\"instalado\": 1, \"mantido\": 1, \"revertido\": 1}}, {\"programa\": \"QuarnSQLService\", "
            "\"publicacao\": 11, \"resultados\": {\"aguardando\": 1}}], \"relatorios\": 5, \"ignoradas\": 4}\n");
  // What the monitor sends is what this reads.
  EXPECT_EQ(ReportQuery({"QuarnSQLService", "1.0", "2.0 beta", 10, "instalado", 7}), q + "instalado&balde=7");
}

}  // namespace
}  // namespace quarn
