#include "tools/quarn-publish/publish.h"

#include <algorithm>
#include <stdexcept>

#include "common/ansi_text.h"
#include "common/suite_files.h"
#include "companions/aunzip32/name_policy.h"
#include "fakes/zip_writer.h"

namespace quarn::publish {

namespace {

struct Program {
  const char* name;
  const char* versionZip;
  const char* versionRecord;
};
constexpr Program kPrograms[] = {
    {kBackupServiceName, kServiceVersionArchive, kServiceVersionRecord},
    {kGuiMonitorName, kGuiVersionArchive, kGuiVersionRecord},
};

std::string Zip(const std::vector<std::pair<std::string, std::string>>& entries) {
  testzip::ZipWriter z;  // fixed timestamps
  for (const auto& [name, bytes] : entries) z.Deflated(name, bytes);
  return z.Build();
}

}  // namespace

std::string VersionProblem(const std::string& v) {
  if (v.empty()) return "versão vazia";
  if (v == "erro") return "\"erro\" é a marca de falha dos registros de versão";
  if (v.front() == ' ' || v.back() == ' ') return "espaços no início ou no fim se perdem no registro";
  for (const char c : v)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "caractere de controle na versão";
  const Cp1252Codec cp;
  if (cp.FromAnsi(cp.ToAnsi(v)) != v) return "caractere fora da página de código 1252";
  return {};
}

std::map<std::string, std::string> Publish(const std::string& program, const std::string& version,
                                           std::vector<BuildFile> files, const PrivateKey& key) {
  const Program* prog = nullptr;
  for (const Program& p : kPrograms)
    if (program == p.name) prog = &p;
  if (!prog) throw std::runtime_error("programa desconhecido: " + program + " (QuarnSQLService ou QuarnSQLMonitor)");
  if (const std::string why = VersionProblem(version); !why.empty())
    throw std::runtime_error("versão recusada: " + why);

  std::sort(files.begin(), files.end(), [](const BuildFile& a, const BuildFile& b) { return a.name < b.name; });
  bool hasProgram = false;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& n = files[i].name;
    // ASCII only: entry names without the UTF-8 flag are read as code page 437.
    const bool ascii = std::all_of(n.begin(), n.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii || !unzip::IsSafeFileName(n) || LowerCase(n) == LowerCase(kManifestName))
      throw std::runtime_error("nome de arquivo não publicável: " + n);
    if (i > 0 && LowerCase(n) == LowerCase(files[i - 1].name)) throw std::runtime_error("arquivo repetido: " + n);
    if (files[i].bytes.size() > UINT32_MAX) throw std::runtime_error("arquivo grande demais: " + n);
    hasProgram |= n == std::string(program) + ".exe";
  }
  if (!hasProgram) throw std::runtime_error("o build não tem o arquivo do programa " + program + ".exe");

  std::vector<ManifestFile> listed;
  for (const BuildFile& f : files) listed.push_back({f.name, f.bytes.size(), Sha256Of(f.bytes)});
  const std::string ansiVersion = Cp1252Codec().ToAnsi(version);
  const std::string body = ManifestSignedPart(program, ansiVersion, listed);
  const std::string manifest = body + ManifestSignatureLine(SignP256(key, Sha256Of(body)));

  std::vector<std::pair<std::string, std::string>> entries;
  for (BuildFile& f : files) entries.emplace_back(f.name, std::move(f.bytes));
  entries.emplace_back(kManifestName, manifest);
  return {{program + ".zip", Zip(entries)},
          {prog->versionZip, Zip({{prog->versionRecord, ansiVersion + "\r\n"}})}};
}

}  // namespace quarn::publish
