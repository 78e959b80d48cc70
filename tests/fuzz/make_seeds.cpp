// Writes the seed corpora (tests/fuzz/seeds/<target>/) with the suite's own
// writers: quarn-publish's archives, manifest and statement, the monitor's date
// texts, the zip writer of the tests. Same inputs, same bytes: a fixed key and
// fixed times, so running it again changes nothing.
//   quarn_fuzz_seeds <seeds folder>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/time_text.h"
#include "fakes/fakes.h"
#include "fakes/zip_writer.h"
#include "monitor/update/disk_check.h"
#include "monitor/update/holds.h"
#include "monitor/update/manifest.h"
#include "monitor/update/recovery_plan.h"
#include "tools/quarn-publish/publish.h"

namespace {

std::filesystem::path root;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const auto dir = root / target;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quarn;
  if (argc != 2) {
    std::fprintf(stderr, "use: %s <seeds folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  const publish::PrivateKey key{publish::Sha256Of("quarn fuzz seeds")};
  const publish::PublicationTimes times{7, 1796692920, 1799284920};  // 2026-12-08, 30 days
  const auto archives = publish::Publish(
      "QuarnSQLService", "2.0", {{"QuarnSQLService.exe", "MZ program"}, {"leia.txt", "texto\r\n"}}, key, times);
  for (const auto& [name, bytes] : archives) {
    Seed("zip", name, bytes);
    for (const auto& [entry, content] : publish::ReadZip(bytes)) {
      if (entry == kManifestName) Seed("manifest", "publicado", content);
      if (entry == kStatementName) {
        Seed("statement", "publicada", content);
        // The same with a staged rollout, and held.
        const size_t sig = content.rfind("assinatura ");
        Seed("statement", "gradual", content.substr(0, sig) + "rollout 2500\r\n" + content.substr(sig));
        Seed("statement", "suspensa", content.substr(0, sig) + "hold\r\n" + content.substr(sig));
      }
      if (entry == "VersaoQuarnSQLService.ini") Seed("version_record", "publicado", content);
    }
  }
  testzip::ZipWriter z;
  z.Deflated("pasta/a.txt", std::string(300, 'a'));
  z.Stored("b.bin", "bytes");
  z.Directory("pasta/");
  Seed("zip", "pasta.zip", z.Build());

  Seed("version_record", "linhas", "1.0\r\n 1.1 \r\n\r\n1.2");
  Seed("version_record", "linha-longa", "2.0" + std::string(254, '\x93') + "\r\n1.0\r\n");
  Seed("version_record", "grande", "2.0\r\n" + std::string(4092, ' '));
  Seed("version_record", "cabecalhos", "bytes 100-199/200\r\nWed, 09 Dec 2026 12:30:00 GMT\r\nproxy.corp:8080\r\n");
  PtBrDateFormat dates;
  Seed("marker_time", "hora", dates.GeneralDate({2026, 12, 8, 5, 10, 0}) + "\r\n");
  Seed("marker_time", "meia-noite", "x\r\n" + dates.GeneralDate({2026, 12, 8, 0, 0, 0}) + "\r\n\r\n");

  const std::string a = ToHex(publish::PublicKey(key));
  const std::string b = ToHex(publish::PublicKey({publish::Sha256Of("outra")}));
  Seed("key_list", "duas", a + ";\r\n" + b + ", xyz");

  Seed("journal", "inteiro", "2.0\r\n1.0\r\n=QuarnSQLService.exe\r\n=libmysql.dll\r\n+novo.dll\r\n.\r\n");
  Seed("journal", "cortado", "2.0\r\n1.0\r\n=QuarnSQLService.exe\r\n");
  Seed("journal", "prova",
       "2.0\r\n1.0\r\n=QuarnSQLService.exe\r\n.\r\n" + ProbationStage(FileStamp{28, 133774}) + "\r\n");
  std::vector<Hold> holds;
  HoldAgain(holds, {"QuarnSQLService", 7, publish::Sha256Of("manifesto"), "2.0"}, 1796000000);
  HoldAgain(holds, {"QuarnSQLMonitor", 0, {}, "3.1 beta"}, 1796000000);
  Seed("update_state", "retidas", FormatHolds(holds));
  InstalledBuild installed;
  installed.version = "2.0";
  installed.number = 7;
  installed.digest = publish::Sha256Of("manifesto");
  installed.files = {{"QuarnSQLService.exe", 2048, publish::Sha256Of("svc"), 133774}, {"libmysql.dll", 10, "", 5}};
  Seed("update_state", "instalado", FormatInstalledBuild(installed));
  Seed("program_image", "programa", fakes::WindowsProgram("gui"));

  Seed("command_line", "remove", std::string("/uninstall\0/purge\0-LOG\0c:\\x.log", 31));
  Seed("command_line", "quieto", std::string("/S\0/log\0", 8));
  return 0;
}
