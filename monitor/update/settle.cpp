#include "monitor/update/settle.h"

#include "common/suite_files.h"
#include "monitor/update/disk_check.h"
#include "monitor/update/updater.h"

namespace quarn {

std::optional<RecoveryInput> ReadPending(FileSystem& fs, const TextCodec& codec, const std::string& app,
                                         const UpdatePaths& paths,
                                         const std::function<std::string(const std::string&)>& hash) {
  RecoveryInput in;
  if (fs.FileExists(paths.journal)) {
    in.journal = SplitLines(codec.FromAnsi(fs.ReadAll(paths.journal)));
    in.suiteFiles = fs.ListFiles(app);
  }
  in.backupFiles = fs.ListFiles(paths.backup);
  if (in.journal && hash) {
    for (const auto& [name, digest] : ParseJournal(*in.journal).digests) {
      for (const std::string& f : in.backupFiles)
        if (SameFileName(f, name)) in.backupDigests[name] = hash(JoinPath(paths.backup, f));
    }
  }
  if (!in.journal && in.backupFiles.empty()) return std::nullopt;
  return in;
}

void CarryOut(FileSystem& fs, const TextCodec& codec, const RecoveryPlan& plan, const std::string& app,
              const UpdatePaths& paths, const std::string& recordPath, const RecoveryFailure& failed) {
  for (const auto& move : plan.moves) {
    try {
      const std::string target = JoinPath(app, move.file);
      if (move.putBack) {
        fs.DurableRename(JoinPath(paths.backup, move.file), target);
      } else {
        fs.Delete(target);
      }
    } catch (const VbError& e) {
      failed(move.file + " ", e);
    }
  }
  if (plan.record == RecoveryPlan::Record::kKeep) return;
  try {
    const std::string text = plan.record == RecoveryPlan::Record::kOldVersion   ? plan.oldVersion + std::string(kCrLf)
                             : plan.record == RecoveryPlan::Record::kNewVersion ? plan.newVersion + std::string(kCrLf)
                                                                                : std::string();
    ReplaceFile(fs, recordPath, codec.ToAnsi(text));  // the old record or the new one, never an empty one
  } catch (const VbError& e) {
    failed(recordPath.substr(recordPath.find_last_of('\\') + 1) + " ", e);
  }
}

void RemoveFolder(FileSystem& fs, const std::string& folder) {
  for (const auto& f : fs.ListFiles(folder)) fs.Delete(JoinPath(folder, f));
  if (fs.DirExists(folder)) fs.RemoveDir(folder);
}

void ClearUpdateFiles(FileSystem& fs, const UpdatePaths& paths, const std::string& installedList, bool committed) {
  if (fs.FileExists(paths.installed)) {
    if (committed) {
      fs.DurableRename(paths.installed, installedList);
    } else {
      fs.Delete(paths.installed);
    }
  }
  RemoveFolder(fs, paths.backup);
  if (fs.FileExists(paths.journal)) fs.Delete(paths.journal);
  RemoveFolder(fs, paths.staging);
}

bool SettlePendingUpdate(FileSystem& fs, const TextCodec& codec, const std::string& app, const std::string& program,
                         const std::string& recordFile, const RecoveryFailure& failed,
                         const std::function<std::string(const std::string&)>& hash) {
  const UpdatePaths paths(TempFolderOf(app), program);
  const std::string record = JoinPath(LogsFolderOf(app), recordFile);
  bool ok = true;
  const RecoveryFailure told = [&](const std::string& what, const VbError& e) {
    ok = false;
    failed(what, e);
  };
  try {
    std::optional<RecoveryInput> in = ReadPending(fs, codec, app, paths, hash);
    if (in) {
      // A probation is not the installer's to watch: it is over, and rolled back.
      in->probationFailed = true;
      try {
        const auto lines =
            fs.FileExists(record) ? SplitLines(codec.FromAnsi(fs.ReadAll(record))) : std::vector<std::string>();
        in->record = lines.empty() ? std::string() : TrimSpaces(lines.back());
      } catch (const VbError&) {
        in->record = std::nullopt;
      }
      const RecoveryPlan plan = PlanRecovery(*in);
      CarryOut(fs, codec, plan, app, paths, record, told);
      if (!ok) return false;
      ClearUpdateFiles(fs, paths, JoinPath(LogsFolderOf(app), InstalledBuildFile(program)), plan.committed);
    } else if (fs.FileExists(paths.installed) || fs.DirExists(paths.staging)) {
      ClearUpdateFiles(fs, paths, {}, false);
    }
  } catch (const VbError& e) {
    told(program + " ", e);
  }
  return ok;
}

}  // namespace quarn
