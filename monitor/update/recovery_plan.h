#pragma once
// What recovery does after an update was cut short, worked out from what lies
// on the disk alone: the journal, the backup folder, the suite folder and the
// local record. The updater reads those and carries the plan out.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/file_system.h"

namespace quarn {

// The journal, written whole before the first file of a build is moved:
//   new version / version recorded before / "=file" (replaces one, kept in the
//   backup folder; "=file<TAB><SHA-256 of the file it replaces, 64 hex>" when
//   the monitor could hash it) or "+file" (had none) for each file / "." / the
//   stage. A copy whose digest the journal names goes back only if it still
//   has it.
// It is written again whole, by a temporary file and a rename, at each stage:
// none while files move (recovery rolls back), "prova" once the new build is
// in place and recorded and its probation runs (recovery goes on with it; "prova
// <size> <time>" also keeps the heartbeat's stamp from before the new build
// started, so that a heartbeat it wrote before a restart of the monitor counts), and
// "confirmado" once it passed: the commit point, after which recovery only
// finishes the clean-up and never takes the build back.
// A journal without its "." line was cut short before anything was moved.
// A journal naming anything but a plain file name of the suite folder was not
// written by us: nothing is deleted or moved on its word (`invalid` holds the line).
inline constexpr char kStageProbation[] = "prova";
inline constexpr char kStageCommitted[] = "confirmado";

struct Journal {
  enum class Stage { kSwapping, kProbation, kCommitted };
  bool whole = false;
  Stage stage = Stage::kSwapping;
  std::optional<FileStamp> heartbeatBefore;  // probation's baseline, when the journal kept one
  std::string newVersion, oldVersion;
  std::vector<std::pair<char, std::string>> files;
  std::map<std::string, std::string> digests;  // "=" files by name: the raw SHA-256 of the copy kept
  std::string invalid;
};
Journal ParseJournal(const std::vector<std::string>& lines);
// A journal's probation line, with the heartbeat's stamp before the start when known.
std::string ProbationStage(const std::optional<FileStamp>& heartbeatBefore);
bool IsStageLine(const std::string& line);

struct RecoveryInput {
  std::optional<std::vector<std::string>> journal;  // its lines; none when there is no journal
  std::vector<std::string> backupFiles;             // in the backup folder
  std::vector<std::string> suiteFiles;              // in the suite folder (needed only with a journal)
  std::optional<std::string> record;                // the local record's version, "" when absent; none when unreadable
  bool probationFailed = false;                     // a journal in probation is rolled back, not resumed
  // The raw SHA-256 of each backup copy the journal names a digest for, by
  // the journal's name; a copy missing here is never put back.
  std::map<std::string, std::string> backupDigests;
};

struct RecoveryPlan {
  enum class Record { kKeep, kOldVersion, kNewVersion, kEmpty };
  struct Move {
    bool putBack;  // the backup folder's copy goes back over the suite's; otherwise the new file goes
    std::string file;
  };
  bool needed = false;       // a journal or a backup folder: something to put right
  std::string invalidLine;   // the journal was not ours: its first foreign line
  bool stopProgram = false;  // the build on disk changes: its program is stopped first and the service started after
  std::vector<Move> moves;
  Record record = Record::kKeep;
  std::string oldVersion;        // what the record is to name again (kOldVersion)
  std::string newVersion;        // the journal's new build (kNewVersion, probation)
  bool resumeProbation = false;  // the new build stays in place and its probation goes on: nothing is cleaned up
  std::optional<FileStamp> heartbeatBefore;  // the heartbeat's stamp before the new build started
  bool committed = false;                    // the new build stays: only the clean-up is left
};

RecoveryPlan PlanRecovery(const RecoveryInput& in);

}  // namespace quarn
