#include "monitor/update/disk_check.h"

#include "common/ansi_text.h"
#include "aunzip32/name_policy.h"
#include "monitor/update/manifest.h"

namespace quarn {

namespace {

// 64 hex digits, or "-" for none.
bool ReadDigest(std::string_view t, std::string& raw) {
  raw.clear();
  if (t == "-") return true;
  return t.size() == 64 && FromHex(t, raw);
}

}  // namespace

std::string InstalledBuildFile(const std::string& program) { return "Instalado" + program + ".ini"; }

std::string FormatInstalledBuild(const InstalledBuild& b) {
  const std::string crlf(kCrLf);
  const auto hex = [](const std::string& raw) { return raw.empty() ? std::string("-") : ToHex(raw); };
  std::string out = kInstalledTag + crlf + "versao " + b.version + crlf + "publicacao " + std::to_string(b.number) +
                    " " + hex(b.digest) + crlf;
  for (const InstalledFile& f : b.files)
    out += "arquivo " + std::to_string(f.size) + " " + hex(f.sha256) + " " + std::to_string(f.writeTime) + " " +
           f.name + crlf;
  return out;
}

bool ParseInstalledBuild(std::string_view bytes, InstalledBuild& out) {
  out = InstalledBuild{};
  if (bytes.size() > kMaxInstalledBytes) return false;
  const std::vector<std::string> lines = SplitLines(bytes);
  if (lines.size() < 3 || lines[0] != kInstalledTag || lines[1].rfind("versao ", 0) != 0) return false;
  out.version = lines[1].substr(7);
  std::string_view pub = lines[2];
  const size_t sp = pub.rfind(' ');
  if (pub.rfind("publicacao ", 0) != 0 || sp < 11 || !ParseDecimal(pub.substr(11, sp - 11), UINT64_MAX, out.number) ||
      !ReadDigest(pub.substr(sp + 1), out.digest))
    return false;
  for (size_t i = 3; i < lines.size(); ++i) {
    std::string_view l = lines[i];
    if (l.rfind("arquivo ", 0) != 0) return false;
    l.remove_prefix(8);
    InstalledFile f;
    std::string_view fields[3];
    for (auto& field : fields) {
      const size_t end = l.find(' ');
      if (end == std::string_view::npos) return false;
      field = l.substr(0, end);
      l.remove_prefix(end + 1);
    }
    if (!ParseDecimal(fields[0], UINT64_MAX, f.size) || !ReadDigest(fields[1], f.sha256) ||
        !ParseDecimal(fields[2], UINT64_MAX, f.writeTime) || !unzip::IsSafeFileName(std::string(l)))
      return false;
    f.name = std::string(l);
    out.files.push_back(std::move(f));
  }
  return !out.files.empty();
}

FileCheck CheckStamp(const InstalledFile& f, const std::optional<FileStamp>& stamp) {
  if (!stamp) return FileCheck::kMissing;
  if (stamp->size != f.size) return FileCheck::kChanged;
  return stamp->writeTime == f.writeTime ? FileCheck::kSame : FileCheck::kHash;
}

bool ReadInstalledBuild(FileSystem& fs, const std::string& path, InstalledBuild& out) {
  return fs.FileExists(path) && fs.Stamp(path).size <= kMaxInstalledBytes && ParseInstalledBuild(fs.ReadAll(path), out);
}

}  // namespace quarn
