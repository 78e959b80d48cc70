#pragma once
// What an update keeps in the download folder, and the disk work of putting
// right what a cut update left there: the updater does it with the program
// stopped around it, the installer's repair before it writes anything.
#include <functional>
#include <optional>
#include <string>

#include "common/ansi_text.h"
#include "common/errors.h"
#include "common/file_system.h"
#include "monitor/update/recovery_plan.h"

namespace quarn {

struct UpdatePaths {
  std::string journal, staging, backup;
  std::string installed;  // the new build's file list until it is committed
  UpdatePaths(const std::string& temp, const std::string& program)
      : journal(temp + program + ".pendente"),
        staging(temp + program + ".novo"),
        backup(temp + program + ".anterior"),
        installed(temp + program + ".instalado") {}
};

using RecoveryFailure = std::function<void(const std::string& what, const VbError& e)>;

// The journal, the backup folder and (with a journal) the suite folder; the
// record is the caller's to read. None when nothing is pending.
// With `hash` (a file's raw SHA-256; it raises as a read does), each backup
// copy the journal names a digest for is hashed; without, such a copy is
// never put back.
std::optional<RecoveryInput> ReadPending(FileSystem& fs, const TextCodec& codec, const std::string& app,
                                         const UpdatePaths& paths,
                                         const std::function<std::string(const std::string&)>& hash = nullptr);
// The plan's moves and record, the program already stopped; each failure is
// told, and the rest is tried all the same.
void CarryOut(FileSystem& fs, const TextCodec& codec, const RecoveryPlan& plan, const std::string& app,
              const UpdatePaths& paths, const std::string& recordPath, const RecoveryFailure& failed);
// A folder of the download folder and its files go (none is a folder).
void RemoveFolder(FileSystem& fs, const std::string& folder);
// The old build's copy, the journal and the staging go; a committed build's
// file list takes its place beside the record first.
void ClearUpdateFiles(FileSystem& fs, const UpdatePaths& paths, const std::string& installedList, bool committed);

// The installer's repair: whatever stage a pending update of `program` was in,
// it is finished (after its commit point) or rolled back, and its files go.
// False when something could not be put right (told to failed).
// `hash` as for ReadPending: without it no copy the journal gives a digest for goes back.
bool SettlePendingUpdate(FileSystem& fs, const TextCodec& codec, const std::string& app, const std::string& program,
                         const std::string& recordFile, const RecoveryFailure& failed,
                         const std::function<std::string(const std::string&)>& hash = nullptr);

}  // namespace quarn
