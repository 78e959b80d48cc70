#pragma once
// A build's publication: the build archive with its signed manifest and the
// version-record archive, as the monitor fetches them from
// /CentralUpdate/QuarnSqlSolvane/. Same inputs, same bytes.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn::publish {

struct BuildFile {
  std::string name;  // plain file name, as it lands in the suite folder
  std::string bytes;
};

// Raises std::runtime_error (message in Portuguese) when the program is not
// one the monitor updates, the version cannot be held by a version record, a
// file name cannot be written as it is, or the program file is missing.
// Returns the archives by file name.
std::map<std::string, std::string> Publish(const std::string& program, const std::string& version,
                                           std::vector<BuildFile> files, const PrivateKey& key);

// Why a version text cannot be published as it is; empty when it can.
std::string VersionProblem(const std::string& utf8);

}  // namespace quarn::publish
