// quarn-publish: makes the maker's signing key and publishes builds for the
// monitor's update server.
//   quarn-publish keygen <private.pem> <public.hex>
//   quarn-publish publish --key <private.pem> --program QuarnSQLService --version 2.0 --out <folder> <files...>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

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

void WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  // Written beside, then renamed: a server never serves half an archive.
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
      throw std::runtime_error("não foi possível gravar " + path);
  }
  chmod(tmp.c_str(), mode);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("não foi possível gravar " + path);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Usage() {
  std::cerr << "uso: quarn-publish keygen <privada.pem> <publica.hex>\n"
               "     quarn-publish publish --key <privada.pem> --program <QuarnSQLService|QuarnSQLMonitor>"
               " --version <versão> --out <pasta> <arquivos...>\n";
  return 2;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "keygen" && argc == 4) {
    const PrivateKey key = GenerateKey();
    WriteFile(argv[2], PrivateKeyPem(key), 0600);
    WriteFile(argv[3], ToHex(PublicKey(key)) + "\n");
    std::cout << ToHex(PublicKey(key)) << "\n";
    return 0;
  }
  if (command != "publish") return Usage();
  std::string keyPath, program, version, out;
  std::vector<BuildFile> files;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " sem valor");
      return argv[++i];
    };
    if (a == "--key") keyPath = value();
    else if (a == "--program") program = value();
    else if (a == "--version") version = value();
    else if (a == "--out") out = value();
    else if (a.rfind("--", 0) == 0) return Usage();
    else files.push_back({BaseName(a), ReadFile(a)});
  }
  if (keyPath.empty() || program.empty() || out.empty()) return Usage();
  const auto archives = Publish(program, version, std::move(files), LoadPrivateKeyPem(ReadFile(keyPath)));
  mkdir(out.c_str(), 0755);
  for (const auto& [name, bytes] : archives) {
    WriteFile(out + "/" + name, bytes);
    std::cout << out << "/" << name << " (" << bytes.size() << " bytes)\n";
  }
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
