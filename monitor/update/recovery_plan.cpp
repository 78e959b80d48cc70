#include "monitor/update/recovery_plan.h"

#include <algorithm>

#include "common/ansi_text.h"
#include "common/suite_files.h"
#include "aunzip32/name_policy.h"
#include "monitor/update/manifest.h"
#include "monitor/update/updater.h"

namespace quarn {

namespace {

bool Holds(const std::vector<std::string>& files, const std::string& name) {
  return std::any_of(files.begin(), files.end(), [&](const std::string& f) { return SameFileName(f, name); });
}

}  // namespace

std::string ProbationStage(const std::optional<FileStamp>& heartbeatBefore) {
  std::string line = kStageProbation;
  if (heartbeatBefore)
    line += " " + std::to_string(heartbeatBefore->size) + " " + std::to_string(heartbeatBefore->writeTime);
  return line;
}

bool IsStageLine(const std::string& line) {
  if (line == kStageCommitted || line == kStageProbation) return true;
  // "prova", a space, digits, a space, digits.
  const std::string p = std::string(kStageProbation) + " ";
  if (line.rfind(p, 0) != 0) return false;
  const std::string rest = line.substr(p.size());
  const size_t sp = rest.find(' ');
  auto digits = [](const std::string& t) {
    uint64_t v = 0;
    return ParseDecimal(t, UINT64_MAX, v);
  };
  return sp != std::string::npos && digits(rest.substr(0, sp)) && digits(rest.substr(sp + 1));
}

Journal ParseJournal(const std::vector<std::string>& lines) {
  Journal j;
  if (!lines.empty()) j.newVersion = TrimSpaces(lines.front());
  size_t end = lines.size();
  if (end >= 4 && lines[end - 2] == ".") {
    if (lines.back().rfind(kStageProbation, 0) == 0 && IsStageLine(lines.back())) {
      j.stage = Journal::Stage::kProbation;
      const std::string rest = lines.back().substr(sizeof kStageProbation - 1);
      const size_t sp = rest.find(' ', 1);
      uint64_t size = 0, time = 0;
      if (sp != std::string::npos && ParseDecimal(std::string_view(rest).substr(1, sp - 1), UINT64_MAX, size) &&
          ParseDecimal(std::string_view(rest).substr(sp + 1), UINT64_MAX, time))
        j.heartbeatBefore = FileStamp{size, time};
    } else if (lines.back() == kStageCommitted) {
      j.stage = Journal::Stage::kCommitted;
    } else {
      j.invalid = lines.back();
      return j;
    }
    --end;
  }
  if (end < 3 || lines[end - 1] != ".") return j;
  j.whole = true;
  j.oldVersion = lines[1];
  for (size_t i = 2; i + 1 < end; ++i) {
    const std::string& l = lines[i];
    if (l.size() < 2) {
      j.invalid = l.empty() ? "(vazia)" : l;  // an empty text would read as no fault
      return j;
    }
    // No file name holds a tab: what follows one is the kept copy's digest.
    const size_t tab = l.find('\t');
    std::string name = l.substr(1, tab == std::string::npos ? std::string::npos : tab - 1), digest;
    const bool digestOk =
        tab == std::string::npos || (l[0] == '=' && l.size() - tab - 1 == 64 && FromHex(l.substr(tab + 1), digest));
    if ((l[0] != '=' && l[0] != '+') || !digestOk || !unzip::IsSafeFileName(name)) {
      j.invalid = l;
      return j;
    }
    if (!digest.empty()) j.digests[name] = digest;
    j.files.emplace_back(l[0], std::move(name));
  }
  return j;
}

RecoveryPlan PlanRecovery(const RecoveryInput& in) {
  RecoveryPlan plan;
  plan.needed = in.journal.has_value() || !in.backupFiles.empty();
  if (!plan.needed) return plan;
  Journal j;
  if (in.journal) j = ParseJournal(*in.journal);
  const bool distrusted = !j.invalid.empty();
  if (distrusted) {
    plan.invalidLine = j.invalid;
    j = Journal{};
  }
  plan.newVersion = j.newVersion;
  if (j.whole &&
      (j.stage == Journal::Stage::kCommitted || (j.stage == Journal::Stage::kProbation && !in.probationFailed))) {
    // Past the swap, with the record written: the new build stays in place.
    plan.committed = j.stage == Journal::Stage::kCommitted;
    plan.resumeProbation = !plan.committed;
    plan.heartbeatBefore = j.heartbeatBefore;
    if (!in.record || *in.record != j.newVersion) plan.record = RecoveryPlan::Record::kNewVersion;
    return plan;
  }
  // Only a whole journal of ours says what a backup copy is. Without one
  // nothing of the suite was moved (the journal is on the disk before the
  // first move): whatever lies in the backup folder is nobody's build, never
  // put back nor run; it goes with the clean-up.
  for (const auto& [kind, f] : j.files) {
    const bool putBack = kind == '=';
    if (!Holds(putBack ? in.backupFiles : in.suiteFiles, f)) continue;
    if (const auto d = j.digests.find(f); putBack && d != j.digests.end()) {
      // A copy changed since it was kept (or that could not be read) is no
      // build of ours: the new file stays, and the record sends the next check.
      const auto got = in.backupDigests.find(f);
      if (got == in.backupDigests.end() || got->second != d->second) continue;
    }
    plan.moves.push_back({putBack, f});
  }
  plan.stopProgram = !plan.moves.empty();

  if (j.whole) {
    // The record must name the build on disk again; one that could not be
    // read is written all the same (a read that failed once may not fail at
    // the next check, which would then believe the new build's name).
    if (!in.record || *in.record != TrimSpaces(j.oldVersion)) {
      plan.record = RecoveryPlan::Record::kOldVersion;
      plan.oldVersion = j.oldVersion;
    }
  } else if (distrusted) {
    // Which build the files are is unknown now: an empty record has the next
    // check install the published one again.
    plan.record = RecoveryPlan::Record::kEmpty;
  }
  return plan;
}

}  // namespace quarn
