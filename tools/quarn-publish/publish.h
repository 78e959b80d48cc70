#pragma once
// A build's publication: the build archive with its signed manifest and the
// version-record archive, as the monitor fetches them from
// /CentralUpdate/QuarnSqlSolvane/. Same inputs, same bytes.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "monitor/update/manifest.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn::publish {

struct BuildFile {
  std::string name;  // plain file name, as it lands in the suite folder
  std::string bytes;
};

// What the signed statement in the version archive says beside the record:
// the publication's number (only grows) and when it was signed and expires.
struct PublicationTimes {
  uint64_t number = 1;
  int64_t signedAt = 0;  // seconds since 1970, UTC
  int64_t validUntil = 0;
  // How far it reaches: the machines whose bucket is below rollout (parts in
  // ten thousand), or none while held.
  uint32_t rollout = kRolloutAll;
  bool hold = false;
};

// What the publisher asked for on the command line.
struct Request {
  bool resign = false;  // a new statement for the folder's last publication
  std::string program, version;
  std::string out;     // the folder, named in the refusals
  std::string number;  // --number as given; empty: the last one's + 1
  std::string validDays = "30";
  bool allowExpired = false, sameVersion = false;
  // Its reach: --rollout or --percent as given (empty: all machines for a new
  // publication, the last one's for a resign), or the publisher's hold.
  std::string percent;
  bool hold = false;
};

// The number and times of the publication asked for, signed at signedAt,
// after last (the folder's previous signed publication of the program, null
// when it has none). Raises std::runtime_error naming the flag for the
// publisher's mistakes the fleet would pay for: a statement expired before
// now, a first publication without --number, a number the monitor cannot
// read, one not above the last, the last one's version again.
PublicationTimes Plan(const Request& r, const Statement* last, int64_t signedAt, int64_t now);

// A count given as text (a flag's value, SOURCE_DATE_EPOCH); raises
// std::runtime_error naming what when it is none.
uint64_t ParseCount(const std::string& text, const std::string& what);
// A percentage of the fleet, 0 to 100 with at most two decimals ("12.5",
// "0,01"), as parts in ten thousand; raises std::runtime_error naming what.
uint32_t ParsePercent(const std::string& text, const std::string& what);

// The version archive of a program; raises std::runtime_error for a program
// the monitor does not update.
const char* VersionArchiveOf(const std::string& program);

// Raises std::runtime_error (message in Portuguese) when the program is not
// one the monitor updates, the version cannot be held by a version record, a
// file name cannot be written as it is or is another program's, or the
// program file is missing.
// Returns the archives by file name.
std::map<std::string, std::string> Publish(const std::string& program, const std::string& version,
                                           std::vector<BuildFile> files, const PrivateKey& key,
                                           const PublicationTimes& times);

// The statement of a version archive this tool wrote, unchecked (it is the
// publisher's own folder); false when the archive holds none.
bool ReadStatement(const std::string& versionZip, Statement& out);

// The version archive again, with a new statement for the same record and
// build: a new number and times, nothing else changed.
std::string Resign(const std::string& versionZip, const PrivateKey& key, const PublicationTimes& times);

// The entries of a zip archive by name; raises std::runtime_error when it is none.
std::map<std::string, std::string> ReadZip(const std::string& bytes);

// Why a version text cannot be published as it is; empty when it can.
std::string VersionProblem(const std::string& utf8);

}  // namespace quarn::publish
