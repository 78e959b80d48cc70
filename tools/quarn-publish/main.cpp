// quarn-publish: makes the maker's signing key and publishes builds for the
// monitor's update server.
//   quarn-publish keygen <private.pem> <public.hex>
//   quarn-publish publish --key <private.pem> --program QuarnSQLService --version 2.0 --out <folder>
//                         [--number N] [--valid-days D] [--same-version] [--allow-expired] <files...>
//   quarn-publish resign --key <private.pem> --program QuarnSQLService --out <folder> [--number N] [--valid-days D]
//                        [--allow-expired]
//   quarn-publish rollout ... --percent P      signed again, reaching P % of the fleet (widen or narrow)
//   quarn-publish hold ...                     signed again, reaching no machine (none goes back)
//   quarn-publish relatorio [--json] <access.log...>   what the fleet reported, per publication
// publish takes --rollout P (default 100).
// The first publication of a program into a folder needs --number (the last
// number the fleet saw + 1).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "tools/quarn-publish/fleet_report.h"
#include "tools/quarn-publish/publish.h"

using namespace quarn;
using namespace quarn::publish;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("não foi possível ler " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Creates path, which must not exist (nor be a link), with its mode from the
// first byte on, and fills it.
void CreateNewFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("não foi possível criar " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() && fsync(fd) == 0;
  if (close(fd) != 0 || !ok) {
    unlink(path.c_str());
    throw std::runtime_error("não foi possível gravar " + path);
  }
}

void WriteFile(const std::string& path, const std::string& bytes) {
  // Written beside, then renamed: a server never serves half an archive.
  const std::string tmp = path + ".tmp";
  unlink(tmp.c_str());
  CreateNewFile(tmp, bytes, 0644);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("não foi possível gravar " + path);
}

bool ReadIfExists(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  bytes = s.str();
  return true;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Usage() {
  std::cerr << "uso: quarn-publish keygen <privada.pem> <publica.hex>\n"
               "     quarn-publish publish --key <privada.pem> --program <QuarnSQLService|QuarnSQLMonitor>"
               " --version <versão> --out <pasta> [--number N] [--valid-days D] [--same-version]"
               " [--allow-expired] <arquivos...>\n"
               "     quarn-publish resign --key <privada.pem> --program <programa> --out <pasta>"
               " [--number N] [--valid-days D] [--allow-expired]\n"
               "     quarn-publish rollout ... --percent <0 a 100>   (como resign: outra parte da frota)\n"
               "     quarn-publish hold ...                          (como resign: nenhuma máquina a recebe)\n"
               "publish aceita --rollout <0 a 100> (padrão: 100).\n"
               "     quarn-publish relatorio [--json] <access.log...>   (o que a frota relatou)\n"
               "A primeira publicação de um programa numa pasta pede --number: o último número que as"
               " máquinas viram + 1.\n";
  return 2;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "keygen" && argc == 4) {
    const PrivateKey key = GenerateKey();
    // Readable by its owner alone from its first byte; an existing file or a
    // link at that name is never written through.
    CreateNewFile(argv[2], PrivateKeyPem(key), 0600);
    WriteFile(argv[3], ToHex(PublicKey(key)) + "\n");
    std::cout << ToHex(PublicKey(key)) << "\n";
    return 0;
  }
  if (command == "relatorio") {
    // Each log in the order given, each in its own time order: a bucket's last report counts.
    FleetReader reader;
    bool json = false, any = false;
    for (int i = 2; i < argc; ++i) {
      if (std::string(argv[i]) == "--json") {
        json = true;
        continue;
      }
      std::ifstream in(argv[i], std::ios::binary);
      if (!in) throw std::runtime_error(std::string("não foi possível ler ") + argv[i]);
      for (std::string line; std::getline(in, line);) reader.Line(line.substr(0, 16384));
      any = true;
    }
    if (!any) return Usage();
    std::cout << (json ? FormatSummaryJson(reader.Summary()) : FormatSummary(reader.Summary()));
    return 0;
  }
  if (command != "publish" && command != "resign" && command != "rollout" && command != "hold") return Usage();
  Request r;
  r.resign = command != "publish";
  r.hold = command == "hold";
  std::string keyPath;
  std::vector<BuildFile> files;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " sem valor");
      return argv[++i];
    };
    if (a == "--key")
      keyPath = value();
    else if (a == "--program")
      r.program = value();
    else if (a == "--version")
      r.version = value();
    else if (a == "--out")
      r.out = value();
    else if (a == "--number")
      r.number = value();
    else if (a == "--valid-days")
      r.validDays = value();
    else if (a == "--allow-expired")
      r.allowExpired = true;
    else if (a == "--same-version" && !r.resign)
      r.sameVersion = true;
    else if ((a == "--rollout" && command == "publish") || (a == "--percent" && command == "rollout"))
      r.percent = value();
    else if (a.rfind("--", 0) == 0)
      return Usage();
    else
      files.push_back({BaseName(a), ReadFile(a)});
  }
  if (keyPath.empty() || r.program.empty() || r.out.empty() || (r.resign && !files.empty()) ||
      (command == "rollout" && r.percent.empty()))
    return Usage();
  const PrivateKey key = LoadPrivateKeyPem(ReadFile(keyPath));

  // Signed now, or at SOURCE_DATE_EPOCH for reproducible output; nothing is
  // written until every check has passed.
  const std::string versionPath = r.out + "/" + VersionArchiveOf(r.program);
  std::string previous;
  Statement last;
  const bool hasLast = ReadIfExists(versionPath, previous) && ReadStatement(previous, last);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  const int64_t signedAt = epoch ? static_cast<int64_t>(ParseCount(epoch, "SOURCE_DATE_EPOCH")) : now;
  const PublicationTimes times = Plan(r, hasLast ? &last : nullptr, signedAt, now);

  const std::map<std::string, std::string> archives =
      r.resign ? std::map<std::string, std::string>{{VersionArchiveOf(r.program), Resign(previous, key, times)}}
               : Publish(r.program, r.version, std::move(files), key, times);
  mkdir(r.out.c_str(), 0755);
  for (const auto& [name, bytes] : archives) {
    WriteFile(r.out + "/" + name, bytes);
    std::cout << r.out << "/" << name << " (" << bytes.size() << " bytes)\n";
  }
  char reach[64] = "";
  if (times.hold)
    std::snprintf(reach, sizeof reach, ", suspensa: nenhuma máquina a recebe");
  else if (times.rollout < kRolloutAll)
    std::snprintf(reach, sizeof reach, ", para %.2f%% das máquinas", times.rollout / 100.0);
  std::cout << "publicação " << times.number << ", válida até " << UtcText(times.validUntil) << reach << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "quarn-publish: " << e.what() << "\n";
    return 1;
  }
}
