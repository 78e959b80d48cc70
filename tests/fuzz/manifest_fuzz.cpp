// Any bytes as a build's manifest. What parses is in the one form the writer
// gives: written again from what was read, it is the same bytes. And what
// quarn-publish accepts to write (version, file names) parses back to itself.
#include <algorithm>

#include "common/ansi_text.h"
#include "aunzip32/name_policy.h"
#include "fuzz/fuzz_check.h"
#include "monitor/update/manifest.h"
#include "tools/quarn-publish/publish.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string bytes = fuzz::Input(data, size);
  Manifest m;
  std::string why;
  if (ParseManifest(bytes, m, why)) {
    QUARN_FUZZ_CHECK(ManifestSignedPart(m.program, m.version, m.files) == m.signedPart);
    QUARN_FUZZ_CHECK(m.signedPart + ManifestSignatureLine(m.signature) == bytes);
    QUARN_FUZZ_CHECK(m.signature.size() == 64);
  } else {
    QUARN_FUZZ_CHECK(!why.empty());
  }

  // The same bytes as the publisher's inputs: a version, then file names, one a line.
  std::vector<std::string> lines;
  for (size_t at = 0; at <= bytes.size() && lines.size() < 32;) {
    const size_t end = std::min(bytes.find('\n', at), bytes.size());
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  const std::string version = lines.front();
  if (!publish::VersionProblem(version).empty()) return 0;
  // quarn-publish refuses a build without the program's own file.
  std::vector<ManifestFile> files{{"QuarnSQLService.exe", 1, std::string(32, '\0')}};
  std::vector<std::string> seen{LowerCase(files.front().name)};
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& n = lines[i];
    bool ascii = true;
    for (const char c : n) ascii &= static_cast<unsigned char>(c) < 0x80;
    const std::string key = LowerCase(n);
    if (!ascii || !unzip::IsSafeFileName(n) || key == LowerCase(kManifestName)) continue;
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    files.push_back({n, i * 977, std::string(32, static_cast<char>(i))});
  }
  const std::string ansiVersion = Cp1252Codec().ToAnsi(version);
  const std::string body = ManifestSignedPart("QuarnSQLService", ansiVersion, files);
  const std::string written = body + ManifestSignatureLine(std::string(64, '\x5a'));
  Manifest back;
  QUARN_FUZZ_CHECK(ParseManifest(written, back, why));
  QUARN_FUZZ_CHECK(back.version == ansiVersion && back.files.size() == files.size() && back.signedPart == body);
  for (size_t i = 0; i < files.size(); ++i)
    QUARN_FUZZ_CHECK(back.files[i].name == files[i].name && back.files[i].size == files[i].size);
  return 0;
}
