#include "monitor/update/manifest.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/ansi_text.h"
#include "common/errors.h"

namespace quarn {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsLowerHex(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Text after "keyword " on a line; false when the line starts otherwise.
bool Field(std::string_view line, std::string_view keyword, std::string_view& rest) {
  if (line.size() <= keyword.size() || line.substr(0, keyword.size()) != keyword || line[keyword.size()] != ' ')
    return false;
  rest = line.substr(keyword.size() + 1);
  return true;
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// A name the extraction writes as it is: one plain file name.
bool PlainFileName(std::string_view n) {
  if (n.empty() || n == "." || n == ".." || HasControl(n)) return false;
  return n.find_first_of("\\/:<>\"|?*") == std::string_view::npos && n.back() != ' ' && n.back() != '.';
}

VbError Refused(long number, const std::string& why) { return VbError(number, why); }

}  // namespace

std::string ToHex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out += kHexDigits[static_cast<unsigned char>(c) >> 4];
    out += kHexDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

bool FromHex(std::string_view text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

TrustedKeys ParseTrustedKeys(const std::vector<KeySetting>& settings) {
  TrustedKeys out;
  for (const KeySetting& s : settings) {
    out.configured = true;
    if (!s.problem.empty()) {
      out.rejected.push_back(s.origin + ": " + s.problem);
      continue;
    }
    size_t at = 0;
    const std::string& t = s.text;
    while (at < t.size()) {
      const size_t end = t.find_first_of(" \t\r\n;,", at);
      const std::string token = t.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? t.size() : end + 1;
      if (token.empty()) continue;
      std::string key;
      if (token.size() == 128 && FromHex(token, key)) {
        if (std::find(out.keys.begin(), out.keys.end(), key) == out.keys.end()) out.keys.push_back(key);
      } else {
        out.rejected.push_back(s.origin + ": chave inválida ignorada (" + std::to_string(token.size()) +
                               " caracteres, esperados 128 dígitos hexadecimais): " + token.substr(0, 16) +
                               (token.size() > 16 ? "..." : ""));
      }
    }
  }
  return out;
}

std::string ManifestSignedPart(const std::string& program, const std::string& version,
                               const std::vector<ManifestFile>& files) {
  std::string out = std::string(kManifestTag) + "\r\nprograma " + program + "\r\nversao " + version + "\r\n";
  for (const ManifestFile& f : files)
    out += "arquivo " + std::to_string(f.size) + " " + ToHex(f.sha256) + " " + f.name + "\r\n";
  return out;
}

std::string ManifestSignatureLine(std::string_view signature) { return "assinatura " + ToHex(signature) + "\r\n"; }

bool ParseManifest(std::string_view bytes, Manifest& out, std::string& why) {
  out = Manifest{};
  if (bytes.empty()) return why = "manifesto vazio", false;
  if (bytes.size() > kMaxManifestBytes) return why = "manifesto grande demais", false;
  std::vector<std::string_view> lines;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t crlf = bytes.find("\r\n", at);
    if (crlf == std::string_view::npos) return why = "linha " + std::to_string(lines.size() + 1) + " sem CRLF", false;
    lines.push_back(bytes.substr(at, crlf - at));
    at = crlf + 2;
  }
  if (lines.size() < 5) return why = "manifesto incompleto", false;
  const auto bad = [&](size_t i, const char* what) {
    why = "linha " + std::to_string(i + 1) + ": " + what;
    return false;
  };
  std::string_view v;
  if (lines[0] != kManifestTag) return bad(0, "formato desconhecido");
  if (!Field(lines[1], "programa", v) || !PlainFileName(v)) return bad(1, "programa");
  out.program = std::string(v);
  if (!Field(lines[2], "versao", v) || HasControl(v)) return bad(2, "versao");
  out.version = std::string(v);

  std::map<std::string, bool> seen;  // lower case: one file on Windows
  for (size_t i = 3; i + 1 < lines.size(); ++i) {
    if (out.files.size() >= kMaxManifestFiles) return bad(i, "arquivos demais");
    std::string_view rest;
    if (!Field(lines[i], "arquivo", rest)) return bad(i, "esperado arquivo");
    const size_t s1 = rest.find(' ');
    if (s1 == std::string_view::npos || s1 == 0 || s1 > 10) return bad(i, "tamanho");
    const std::string_view size = rest.substr(0, s1);
    if (!std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (size.size() > 1 && size[0] == '0'))
      return bad(i, "tamanho");
    ManifestFile f;
    f.size = std::stoull(std::string(size));
    if (f.size > UINT32_MAX) return bad(i, "tamanho");
    rest = rest.substr(s1 + 1);
    if (rest.size() < 66 || rest[64] != ' ' || !IsLowerHex(rest.substr(0, 64))) return bad(i, "SHA-256");
    FromHex(rest.substr(0, 64), f.sha256);
    f.name = std::string(rest.substr(65));
    if (!PlainFileName(f.name)) return bad(i, "nome de arquivo");
    const std::string key = LowerCase(Cp1252Codec().FromAnsi(f.name));
    if (key == LowerCase(kManifestName) || seen[key]) return bad(i, "nome de arquivo repetido");
    seen[key] = true;
    out.files.push_back(std::move(f));
  }
  const size_t last = lines.size() - 1;
  if (!Field(lines[last], "assinatura", v) || v.size() != 128 || !IsLowerHex(v)) return bad(last, "assinatura");
  FromHex(v, out.signature);
  out.signedPart = std::string(bytes.substr(0, bytes.size() - lines[last].size() - 2));
  return true;
}

std::unique_ptr<FileReader> WholeFileChunks::Open(const std::string& path) {
  struct Reader final : FileReader {
    std::string bytes;
    size_t at = 0;
    size_t Read(char* buf, size_t n) override {
      n = std::min(n, bytes.size() - at);
      std::copy_n(bytes.data() + at, n, buf);
      at += n;
      return n;
    }
  };
  auto r = std::make_unique<Reader>();
  r->bytes = fs_.ReadAll(path);
  return r;
}

std::string BuildVerifier::HashFile(const std::string& path, bool runEvents) {
  auto file = p_.chunks.Open(path);
  auto h = p_.crypto.NewSha256();
  std::string buf(kHashChunk, '\0');
  while (const size_t n = file->Read(buf.data(), buf.size())) {
    h->Update(std::string_view(buf.data(), n));
    // A 50 MB build must not keep a stop request or the watchdog waiting.
    if (runEvents) p_.loop.Idle(0);
  }
  return h->Finish();
}

namespace {

// Keys to verify with; a monitor that trusts none refuses, unless an
// administrator allowed unsigned files and this one carries no signature.
std::vector<std::string> KeysFor(UpdateKeySource& source, bool signaturePresent, MonitorLogs& logs, bool& unsignedOk) {
  const TrustedKeys trusted = ParseTrustedKeys(source.Settings());
  for (const std::string& r : trusted.rejected) logs.SalvaLogErro("Chaves de atualização " + r);
  unsignedOk = !signaturePresent && source.AllowUnsigned();
  if (trusted.keys.empty() && !unsignedOk)
    throw Refused(kErrUpdateKeysUnusable,
                  "Nenhuma chave pública de atualização válida (UpdatePublicKeys); "
                  "atualização recusada");
  return trusted.keys;
}

bool SignedByOneOf(UpdateCrypto& crypto, const std::vector<std::string>& keys, const std::string& signedPart,
                   const std::string& signature) {
  auto h = crypto.NewSha256();
  h->Update(signedPart);
  const std::string digest = h->Finish();
  return std::any_of(keys.begin(), keys.end(),
                     [&](const std::string& k) { return crypto.VerifyP256(k, digest, signature); });
}

}  // namespace

std::string UtcText(int64_t seconds) {
  const LocalTime t = FromEpochSeconds(seconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

bool ParseUtcText(std::string_view text, int64_t& seconds) {
  // Exactly "yyyy-mm-ddThh:mm:ssZ".
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z')
    return false;
  int v[6];
  const size_t at[6] = {0, 5, 8, 11, 14, 17}, len[6] = {4, 2, 2, 2, 2, 2};
  for (int i = 0; i < 6; ++i) {
    v[i] = 0;
    for (size_t k = 0; k < len[i]; ++k) {
      const char c = text[at[i] + k];
      if (c < '0' || c > '9') return false;
      v[i] = v[i] * 10 + (c - '0');
    }
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (v[0] < 1970 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > kDays[v[1] - 1] || v[3] > 23 || v[4] > 59 || v[5] > 59)
    return false;
  const LocalTime t{v[0], v[1], v[2], v[3], v[4], v[5]};
  seconds = ToEpochSeconds(t);
  return FromEpochSeconds(seconds) == t;  // 29 February of a common year is no date
}

std::string StatementSignedPart(const Statement& st) {
  return std::string(kStatementTag) + "\r\nprograma " + st.program + "\r\nversao " + st.version + "\r\npublicacao " +
         std::to_string(st.number) + "\r\nassinada " + UtcText(st.signedAt) + "\r\nvalida-ate " +
         UtcText(st.validUntil) + "\r\nmanifesto " + ToHex(st.manifestSha256) + "\r\n" +
         (st.hold ? std::string("hold\r\n")
                  : st.rollout < kRolloutAll ? "rollout " + std::to_string(st.rollout) + "\r\n" : std::string());
}

bool ParseStatement(std::string_view bytes, Statement& out, std::string& why) {
  out = Statement{};
  if (bytes.empty()) return why = "declaração vazia", false;
  if (bytes.size() > 4096) return why = "declaração grande demais", false;
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < bytes.size();) {
    const size_t crlf = bytes.find("\r\n", at);
    if (crlf == std::string_view::npos) return why = "linha " + std::to_string(lines.size() + 1) + " sem CRLF", false;
    lines.push_back(bytes.substr(at, crlf - at));
    at = crlf + 2;
  }
  if (lines.size() != 8 && lines.size() != 9)
    return why = "declaração com " + std::to_string(lines.size()) + " linhas", false;
  const size_t last = lines.size() - 1;
  const auto bad = [&](size_t i, const char* what) {
    why = "linha " + std::to_string(i + 1) + ": " + what;
    return false;
  };
  std::string_view v;
  if (lines[0] != kStatementTag) return bad(0, "formato desconhecido");
  if (!Field(lines[1], "programa", v) || !PlainFileName(v)) return bad(1, "programa");
  out.program = std::string(v);
  if (!Field(lines[2], "versao", v) || HasControl(v)) return bad(2, "versao");
  out.version = std::string(v);
  if (!Field(lines[3], "publicacao", v) || v.empty() || v.size() > 18 || (v.size() > 1 && v[0] == '0') ||
      !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return bad(3, "publicacao");
  out.number = std::stoull(std::string(v));
  if (!Field(lines[4], "assinada", v) || !ParseUtcText(v, out.signedAt)) return bad(4, "assinada");
  if (!Field(lines[5], "valida-ate", v) || !ParseUtcText(v, out.validUntil)) return bad(5, "valida-ate");
  if (!Field(lines[6], "manifesto", v) || v.size() != 64 || !IsLowerHex(v)) return bad(6, "manifesto");
  FromHex(v, out.manifestSha256);
  if (last == 8) {
    // How far the publication reaches: a part of the fleet, or none.
    if (lines[7] == "hold") {
      out.hold = true;
    } else if (!Field(lines[7], "rollout", v) || v.empty() || v.size() > 5 || (v.size() > 1 && v[0] == '0') ||
               !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
               std::stoul(std::string(v)) > kRolloutAll) {
      return bad(7, "rollout");
    } else {
      out.rollout = static_cast<uint32_t>(std::stoul(std::string(v)));
    }
  }
  if (!Field(lines[last], "assinatura", v) || v.size() != 128 || !IsLowerHex(v)) return bad(last, "assinatura");
  FromHex(v, out.signature);
  out.signedPart = std::string(bytes.substr(0, bytes.size() - lines[last].size() - 2));
  return true;
}

Publication BuildVerifier::VerificaPublicacao(const std::string& folder, const std::string& program,
                                              const std::string& version, MonitorLogs& logs) {
  const std::string path = JoinPath(folder, kStatementName);
  const bool present = p_.fs.FileExists(path);
  bool unsignedOk = false;
  const std::vector<std::string> keys = KeysFor(p_.keys, present, logs, unsignedOk);
  if (unsignedOk) return Publication{};
  if (!present)
    throw Refused(kErrStatementMissing,
                  std::string("Registro de versão sem declaração de publicação assinada (") + kStatementName + ")");
  Statement st;
  std::string why;
  if (!ParseStatement(p_.fs.ReadAll(path), st, why)) throw Raise(kErrStatementInvalid, why);
  if (!SignedByOneOf(p_.crypto, keys, st.signedPart, st.signature)) throw Raise(kErrStatementSignature);
  const Cp1252Codec cp1252;
  if (cp1252.FromAnsi(st.program) != program)
    throw Raise(kErrStatementInvalid, "de outro programa: " + cp1252.FromAnsi(st.program));
  if (cp1252.FromAnsi(st.version) != version)
    throw Raise(kErrStatementInvalid,
                "versão (" + cp1252.FromAnsi(st.version) + ") difere da do registro (" + version + ")");
  const uint64_t highest = p_.publications.Highest(program);
  if (st.number < highest)
    throw Raise(kErrPublicationOlder,
                "publicação " + std::to_string(st.number) + ", instalada " + std::to_string(highest));
  if (p_.publications.UtcNow() > st.validUntil)
    throw Raise(kErrPublicationExpired, "válida até " + UtcText(st.validUntil));
  return Publication{true, st.number, st.validUntil, st.manifestSha256, st.rollout, st.hold};
}

void BuildVerifier::RegistraPublicacao(const std::string& program, const Publication& publication) {
  if (publication.isSigned && publication.number > p_.publications.Highest(program))
    p_.publications.Record(program, publication.number);
}

std::map<std::string, std::string> BuildVerifier::VerificaPacote(const std::string& staging, const std::string& program,
                                                                 const std::string& version,
                                                                 const Publication& publication, MonitorLogs& logs) {
  const std::string manifestPath = JoinPath(staging, kManifestName);
  const bool present = p_.fs.FileExists(manifestPath);
  bool unsignedOk = false;
  // A signed publication announced a manifest: its build is never taken without one.
  const std::vector<std::string> keys = KeysFor(p_.keys, present || publication.isSigned, logs, unsignedOk);
  // An administrator's opt-out: a build without a manifest goes in as before.
  if (unsignedOk) return {};
  if (!present)
    throw Refused(kErrManifestMissing, std::string("Pacote sem manifesto assinado (") + kManifestName + ")");

  const Cp1252Codec cp1252;
  const std::string manifestBytes = p_.fs.ReadAll(manifestPath);
  Manifest m;
  std::string why;
  if (!ParseManifest(manifestBytes, m, why)) throw Raise(kErrManifestInvalid, why);
  if (!SignedByOneOf(p_.crypto, keys, m.signedPart, m.signature)) throw Raise(kErrManifestSignature);
  if (cp1252.FromAnsi(m.program) != program) throw Raise(kErrManifestProgram, cp1252.FromAnsi(m.program));
  if (cp1252.FromAnsi(m.version) != version)
    throw Refused(kErrManifestVersion,
                  "Versão do manifesto (" + cp1252.FromAnsi(m.version) + ") difere da publicada (" + version + ")");
  if (publication.isSigned) {
    // The build must be the one its publication announced, not another of the same version.
    auto h = p_.crypto.NewSha256();
    h->Update(manifestBytes);
    if (h->Finish() != publication.manifestSha256)
      throw Raise(kErrStatementInvalid, "o manifesto do pacote não é o da publicação");
  }
  std::map<std::string, const ManifestFile*> listed;
  for (const ManifestFile& f : m.files) listed[cp1252.FromAnsi(f.name)] = &f;
  std::vector<std::string> staged = p_.fs.ListFiles(staging);
  staged.erase(std::remove(staged.begin(), staged.end(), kManifestName), staged.end());
  for (const std::string& name : staged)
    if (!listed.count(name)) throw Refused(kErrManifestFiles, "Arquivo fora do manifesto: " + name);
  std::map<std::string, std::string> digests;
  for (const auto& [name, f] : listed) {
    const std::string path = JoinPath(staging, name);
    if (std::find(staged.begin(), staged.end(), name) == staged.end())
      throw Refused(kErrManifestFiles, "Arquivo do manifesto ausente no pacote: " + name);
    if (p_.fs.Stamp(path).size != f->size)
      throw Refused(kErrManifestFiles, "Tamanho de " + name + " difere do manifesto");
    if (HashFile(path) != f->sha256) throw Refused(kErrManifestFiles, "SHA-256 de " + name + " difere do manifesto");
    digests[name] = f->sha256;
  }
  p_.fs.Delete(manifestPath);
  return digests;
}

}  // namespace quarn
