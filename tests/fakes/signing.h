#pragma once
// Signed publications as quarn-publish makes them, for the tests that drive
// the signed path: a build's entries with its manifest, and the statement
// that goes beside a version record.
#include <string>
#include <utility>
#include <vector>

#include "monitor/update/manifest.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn::fakes {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The build's entries and, last, its manifest.
inline Entries SignedBuild(const publish::PrivateKey& key, const std::string& program, const std::string& version,
                           Entries files) {
  std::vector<ManifestFile> listed;
  for (auto& [name, bytes] : files) listed.push_back({name, bytes.size(), publish::Sha256Of(bytes)});
  const std::string body = ManifestSignedPart(program, version, listed);
  files.emplace_back(kManifestName, body + ManifestSignatureLine(publish::SignP256(key, publish::Sha256Of(body))));
  return files;
}

// The statement beside a version record, for the build whose manifest is given.
inline std::string SignedStatement(const publish::PrivateKey& key, const std::string& program,
                                   const std::string& version, uint64_t number, int64_t validUntil,
                                   const std::string& manifest, uint32_t rollout = kRolloutAll, bool hold = false) {
  Statement st;
  st.rollout = rollout;
  st.hold = hold;
  st.program = program;
  st.version = version;
  st.number = number;
  st.signedAt = validUntil - 30 * 86400;
  st.validUntil = validUntil;
  st.manifestSha256 = publish::Sha256Of(manifest);
  const std::string body = StatementSignedPart(st);
  return body + ManifestSignatureLine(publish::SignP256(key, publish::Sha256Of(body)));
}

}  // namespace quarn::fakes
