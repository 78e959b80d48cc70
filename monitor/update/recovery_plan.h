#pragma once
// What recovery does after an update was cut short, worked out from what lies
// on the disk alone: the journal, the backup folder, the suite folder and the
// local record. The updater reads those and carries the plan out.
#include <optional>
#include <string>
#include <vector>

namespace quarn {

// The journal, written whole before the first file of a build is moved:
//   new version / version recorded before / "=file" (replaces one, kept in the
//   backup folder) or "+file" (had none) for each file / ".".
// A journal without its last line was cut short before anything was moved.
// A journal naming anything but a plain file name of the suite folder was not
// written by us: nothing is deleted or moved on its word (`invalid` holds the line).
struct Journal {
  bool whole = false;
  std::string newVersion, oldVersion;
  std::vector<std::pair<char, std::string>> files;
  std::string invalid;
};
Journal ParseJournal(const std::vector<std::string>& lines);

struct RecoveryInput {
  std::optional<std::vector<std::string>> journal;  // its lines; none when there is no journal
  std::vector<std::string> backupFiles;             // in the backup folder
  std::vector<std::string> suiteFiles;              // in the suite folder (needed only with a journal)
  std::optional<std::string> record;                // the local record's version, "" when absent; none when unreadable
};

struct RecoveryPlan {
  enum class Record { kKeep, kOldVersion, kEmpty };
  struct Move {
    bool putBack;  // the backup folder's copy goes back over the suite's; otherwise the new file goes
    std::string file;
  };
  bool needed = false;       // a journal or a backup folder: something to put right
  std::string invalidLine;   // the journal was not ours: its first foreign line
  bool stopProgram = false;  // the build on disk changes: its program is stopped first and the service started after
  std::vector<Move> moves;
  Record record = Record::kKeep;
  std::string oldVersion;  // what the record is to name again (kOldVersion)
};

RecoveryPlan PlanRecovery(const RecoveryInput& in);

}  // namespace quarn
