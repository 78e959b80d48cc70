#include "tools/quarn-publish/publish.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

#include "common/ansi_text.h"
#include "common/suite_files.h"
#include "aunzip32/name_policy.h"
#include "aunzip32/zip_reader.h"
#include "tools/zip_writer/zip_writer.h"

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
  zipwriter::ZipWriter z;  // fixed timestamps
  for (const auto& [name, bytes] : entries) z.Deflated(name, bytes);
  return z.Build();
}

const Program& ProgramNamed(const std::string& program) {
  for (const Program& p : kPrograms)
    if (program == p.name) return p;
  throw std::runtime_error("programa desconhecido: " + program + " (QuarnSQLService ou QuarnSQLMonitor)");
}

std::string SignedStatement(Statement st, const PrivateKey& key, const PublicationTimes& times) {
  if (times.validUntil <= times.signedAt) throw std::runtime_error("validade da publicação vazia");
  if (times.number == 0) throw std::runtime_error("o número da publicação começa em 1");
  st.number = times.number;
  st.signedAt = times.signedAt;
  st.validUntil = times.validUntil;
  st.rollout = times.rollout;
  st.hold = times.hold;
  const std::string body = StatementSignedPart(st);
  return body + ManifestSignatureLine(SignP256(key, Sha256Of(body)));
}

std::string VersionZip(const Program& prog, const std::string& record, const std::string& statement) {
  return Zip({{prog.versionRecord, record}, {kStatementName, statement}});
}

// The monitor reads a publication number of at most 18 digits.
constexpr uint64_t kMaxNumber = 999999999999999999ULL;

}  // namespace

uint64_t ParseCount(const std::string& text, const std::string& what) {
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || errno)
    throw std::runtime_error(what + " inválido: " + text);
  return v;
}

uint32_t ParsePercent(const std::string& text, const std::string& what) {
  const size_t point = text.find_first_of(".,");
  const std::string whole = text.substr(0, point), decimals = point == std::string::npos ? "" : text.substr(point + 1);
  const auto digits = [](const std::string& d) { return d.find_first_not_of("0123456789") == std::string::npos; };
  if (whole.empty() || whole.size() > 3 || !digits(whole) || decimals.size() > 2 || !digits(decimals) ||
      (point != std::string::npos && decimals.empty()))
    throw std::runtime_error(what + " inválido: " + text + " (de 0 a 100, no máximo duas casas decimais)");
  const uint32_t parts = static_cast<uint32_t>(std::stoul(whole) * 100 + (decimals.empty() ? 0 : std::stoul((decimals + "0").substr(0, 2))));
  if (parts > kRolloutAll) throw std::runtime_error(what + " " + text + " acima de 100");
  return parts;
}

const char* VersionArchiveOf(const std::string& program) { return ProgramNamed(program).versionZip; }

PublicationTimes Plan(const Request& r, const Statement* last, int64_t signedAt, int64_t now) {
  const Cp1252Codec cp;
  if (r.resign && !last) throw std::runtime_error("nenhuma publicação assinada em " + r.out);
  if (last && cp.FromAnsi(last->program) != r.program)
    throw std::runtime_error("a publicação em " + r.out + " é de " + cp.FromAnsi(last->program));
  PublicationTimes t;
  if (!r.number.empty())
    t.number = ParseCount(r.number, "--number");
  else if (last)
    t.number = last->number + 1;
  else
    // Numbering again from 1 would be refused as a replay by every machine
    // that saw a higher number; only the publisher knows the fleet's.
    throw std::runtime_error("primeira publicação do " + r.program + " em " + r.out +
                             ": dê --number com o último número de publicação que as máquinas viram + 1");
  if (t.number > kMaxNumber)
    throw std::runtime_error("--number " + std::to_string(t.number) +
                             " acima de 999999999999999999: o monitor lê no máximo 18 algarismos");
  if (last && t.number <= last->number)
    throw std::runtime_error("a publicação " + std::to_string(t.number) + " não é mais nova que a " +
                             std::to_string(last->number) + " já publicada em " + r.out + " (--number)");
  // A machine with the last version installed would never take the same one again.
  if (!r.resign && last && !r.sameVersion && cp.FromAnsi(last->version) == r.version)
    throw std::runtime_error("a versão " + r.version + " é a da publicação " + std::to_string(last->number) + " em " +
                             r.out + ": dê outra --version, ou --same-version para publicá-la de novo");
  // A resign keeps the last one's reach unless asked otherwise.
  if (last && r.resign) {
    t.rollout = last->rollout;
    t.hold = last->hold;
  }
  // After a staged or held publication a new build does not go to every
  // machine by default: the publisher says how far.
  if (!r.resign && last && (last->hold || last->rollout < kRolloutAll) && r.percent.empty())
    throw std::runtime_error("a publicação " + std::to_string(last->number) + " em " + r.out +
                             " está em implantação gradual ou suspensa: dê --rollout (100 para todas as máquinas)");
  if (!r.percent.empty()) {
    t.rollout = ParsePercent(r.percent, r.resign ? "--percent" : "--rollout");
    t.hold = false;
  }
  if (r.hold) t.hold = true;
  t.signedAt = signedAt;
  const uint64_t days = ParseCount(r.validDays, "--valid-days");
  if (days == 0 || days > 3650) throw std::runtime_error("--valid-days " + r.validDays + " fora de 1 a 3650");
  t.validUntil = signedAt + static_cast<int64_t>(days) * 86400;
  // Judged by the real clock: SOURCE_DATE_EPOCH may lie in the past.
  if (t.validUntil <= now && !r.allowExpired)
    throw std::runtime_error("a publicação já estaria vencida ao ser gravada: válida até " + UtcText(t.validUntil) +
                             " (--valid-days " + r.validDays + "), agora é " + UtcText(now) +
                             "; dê --allow-expired para gravá-la assim");
  return t;
}

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

std::map<std::string, std::string> ReadZip(const std::string& bytes) {
  struct Memory final : unzip::ArchiveFile {
    const std::string& b;
    explicit Memory(const std::string& bytes_) : b(bytes_) {}
    uint64_t Size() const override { return b.size(); }
    bool ReadAt(uint64_t offset, void* buffer, size_t n) override {
      if (offset > b.size() || n > b.size() - offset) return false;
      std::memcpy(buffer, b.data() + offset, n);
      return true;
    }
  } file(bytes);
  struct Out final : unzip::OutputFile {
    std::string bytes;
    bool Write(const void* data, size_t n) override {
      bytes.append(static_cast<const char*>(data), n);
      return true;
    }
    bool Close() override { return true; }
  };
  unzip::ZipReader zip(file);
  if (zip.Open() < 0) throw std::runtime_error("não é um arquivo zip");
  std::map<std::string, std::string> out;
  unzip::ZipEntry entry;
  long rc = 0;
  while ((rc = zip.Next(entry)) > 0) {
    Out o;
    if (zip.Check(entry) < 0 || zip.Extract(entry, o) < 0)
      throw std::runtime_error("entrada danificada: " + entry.name);
    out[entry.name] = std::move(o.bytes);
  }
  if (rc < 0) throw std::runtime_error("diretório do zip danificado");
  return out;
}

bool ReadStatement(const std::string& versionZip, Statement& out) {
  const auto entries = ReadZip(versionZip);
  auto it = entries.find(kStatementName);
  if (it == entries.end()) return false;
  std::string why;
  if (!ParseStatement(it->second, out, why)) throw std::runtime_error("declaração de publicação inválida: " + why);
  return true;
}

std::string Resign(const std::string& versionZip, const PrivateKey& key, const PublicationTimes& times) {
  Statement st;
  if (!ReadStatement(versionZip, st)) throw std::runtime_error("a publicação não tem declaração assinada");
  const Program& prog = ProgramNamed(st.program);
  const auto entries = ReadZip(versionZip);
  auto record = entries.find(prog.versionRecord);
  if (record == entries.end()) throw std::runtime_error(std::string("a publicação não tem ") + prog.versionRecord);
  if (times.number <= st.number) throw std::runtime_error("o número da publicação só cresce");
  return VersionZip(prog, record->second, SignedStatement(st, key, times));
}

std::map<std::string, std::string> Publish(const std::string& program, const std::string& version,
                                           std::vector<BuildFile> files, const PrivateKey& key,
                                           const PublicationTimes& times) {
  const Program* prog = &ProgramNamed(program);
  if (const std::string why = VersionProblem(version); !why.empty())
    throw std::runtime_error("versão recusada: " + why);

  std::sort(files.begin(), files.end(), [](const BuildFile& a, const BuildFile& b) { return a.name < b.name; });
  bool hasProgram = false;
  std::set<std::string> seen;  // lower case: one file on Windows, wherever it stands in the list
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& n = files[i].name;
    // ASCII only: entry names without the UTF-8 flag are read as code page 437.
    const bool ascii = std::all_of(n.begin(), n.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii || !unzip::IsSafeFileName(n) || LowerCase(n) == LowerCase(kManifestName))
      throw std::runtime_error("nome de arquivo não publicável: " + n);
    if (IsAnotherProgramsFile(program, n))
      throw std::runtime_error("arquivo de outro programa do Quarn SQL no build do " + program + ": " + n);
    if (!seen.insert(LowerCase(n)).second) throw std::runtime_error("arquivo repetido: " + n);
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
  Statement st;
  st.program = program;
  st.version = ansiVersion;
  st.manifestSha256 = Sha256Of(manifest);
  return {{program + ".zip", Zip(entries)},
          {prog->versionZip, VersionZip(*prog, ansiVersion + "\r\n", SignedStatement(st, key, times))}};
}

}  // namespace quarn::publish
