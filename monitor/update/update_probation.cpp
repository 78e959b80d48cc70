// A new build's probation and the commit that ends it, and the journal's
// stages on the way.
#include "monitor/update/updater.h"

#include <algorithm>

#include "common/suite_files.h"
#include "monitor/update/reports.h"
#include "monitor/update/rollout.h"
#include "monitor/update/updater_parts.h"

namespace quarn {

using namespace update_parts;

void Updater::WriteReplacing(const std::string& path, std::string_view bytes) {
  // Whole or not at all, whatever a power cut leaves of the temporary file:
  // nobody else opens these.
  ReplaceFile(p_.fs, path, bytes, true);
}

void Updater::SetJournalStage(const Program& prog, const std::string& stage) {
  const Paths paths(temp_, prog.name);
  std::vector<std::string> lines = SplitLines(p_.fs.ReadAll(paths.journal));
  if (lines.size() >= 2 && lines[lines.size() - 2] == "." && IsStageLine(lines.back())) lines.pop_back();
  if (lines.empty() || lines.back() != ".") throw Raise(kErrJournalInvalid, "sem o fim da lista de arquivos");
  std::string text;
  for (const auto& l : lines) text += l + std::string(kCrLf);
  if (!stage.empty()) text += stage + std::string(kCrLf);
  WriteReplacing(paths.journal, text);
}

void Updater::WriteInstalledDraft(const Program& prog, const std::vector<std::string>& files,
                                  const std::map<std::string, std::string>& digests, const Publication& publication) {
  InstalledBuild b;
  b.version = p_.codec.ToAnsi(this->*prog.net);
  b.number = publication.isSigned ? publication.number : 0;
  b.digest = publication.isSigned ? publication.manifestSha256 : std::string();
  for (const std::string& f : files) {
    const std::string path = JoinPath(app_, f);
    const FileStamp stamp = p_.fs.Stamp(path);
    auto d = digests.find(f);
    std::string sha = d != digests.end() ? d->second : verifier_ ? verifier_->HashFile(path) : std::string();
    b.files.push_back(InstalledFile{p_.codec.ToAnsi(f), stamp.size, std::move(sha), stamp.writeTime});
  }
  WriteReplacing(Paths(temp_, prog.name).installed, FormatInstalledBuild(b));
}

void Updater::Committed(const Program& prog, const std::string& version, const Publication& publication) {
  observer_->UpdateInstalled(prog.name, version);
  if (verifier_) {
    try {
      verifier_->RegistraPublicacao(prog.name, publication);
    } catch (const VbError& e) {
      // The build is in place; only the guard against an older one is missing.
      const std::string refused = "Update Sistema " + std::string(prog.name) + " " + ErrorText(e);
      Report(refused, kCorVermelha);
      logs_.SalvaLogErro(refused);
    }
  }
  std::vector<Hold> holds = ReadHolds();
  if (ClearHold(holds, prog.name)) WriteHolds(holds);
  observer_->UpdateHoldCleared(prog.name);
  CleanUp(prog, true);  // the old build's files go, the list of the new one takes its place
}

// ---- probation -----------------------------------------------------------------

std::optional<ProbationSample> Updater::SampleBackupService() {
  // The service manager's own process of the service: another program of the
  // same file name proves nothing, and a query that failed is no sample.
  const std::optional<uint32_t> process = p_.service.ProcessoService();
  if (!process) return std::nullopt;
  ProbationSample s;
  s.nowMs = p_.loop.TickMs();
  s.processId = *process;
  const std::string heartbeat = JoinPath(LogsFolderOf(app_), kServiceExecutingFile);
  if (p_.fs.FileExists(heartbeat)) s.heartbeat = p_.fs.Stamp(heartbeat);
  return s;
}

std::optional<FileStamp> Updater::HeartbeatStamp() {
  try {
    const std::string heartbeat = JoinPath(LogsFolderOf(app_), kServiceExecutingFile);
    if (p_.fs.FileExists(heartbeat)) return p_.fs.Stamp(heartbeat);
  } catch (const VbError&) {
  }
  return std::nullopt;
}

void Updater::StartProbation(const std::string& version, std::optional<FileStamp> heartbeatBefore) {
  const uint32_t seconds = ProbationSecondsFor(p_.policy.ProbationSeconds(), p_.policy.MinimumProbationSeconds());
  ProbationRules rules;
  rules.lengthMs = uint64_t{seconds} * 1000;
  ProbationSample first;
  first.nowMs = p_.loop.TickMs();
  try {
    if (const auto seen = SampleBackupService()) first = *seen;
  } catch (const VbError&) {
    // Nothing seen yet: every later sample counts.
  }
  first.nowMs = p_.loop.TickMs();
  // A heartbeat written since before the build started counts, however soon it came.
  first.heartbeat = heartbeatBefore;
  probation_.emplace(rules, first);
  failureHeld_ = false;
  probationVersion_ = version;
  probationFrom_ = VLocalService;
  probationTimer_->SetEnabled(true);
  // In the general log only: the formatted report of an update keeps its lines.
  logs_.SalvaLogGeral("Período de prova do " + std::string(kBackupServiceName) + " " + version + ": " +
                          std::to_string(seconds) + " s em execução, com batimento.",
                      kCorAzul, false);
}

void Updater::AcompanhaProvacao() {
  if (ObserveProbation()) SendReports();
}

bool Updater::ObserveProbation() {
  // A check or an update under way decides for itself; the next tick looks again.
  // Nor while the heartbeat's restart holds the service: its stop is no verdict.
  if (!probation_ || busy_ || ending_ || p_.service.Claimed()) return false;
  const Busy busy(busy_);
  try {
    const std::optional<ProbationSample> sample = SampleBackupService();
    if (!sample) return false;
    const Probation::Verdict v = probation_->Observe(*sample);
    if (v == Probation::Verdict::kOn) return false;
    const UpdateLockHold lock(p_.lock, 0);
    if (!lock.Held()) return false;  // the installer writes the suite: its outcome waits for the next tick
    const Program& prog = ProgramFor(kBackupServiceName);
    if (v == Probation::Verdict::kFailed) {
      ProbationFailed(probation_->Why());
      return true;
    }
    // The commit point: one durable write of the journal.
    SetJournalStage(prog, kStageCommitted);
    probation_.reset();
    probationTimer_->SetEnabled(false);
    logs_.SalvaLogGeral("O " + std::string(prog.name) + " " + probationVersion_ + " passou pelo período de prova.",
                        kCorAzul, false);
    InstalledBuild b;
    Publication publication;
    const Paths paths(temp_, prog.name);
    if (ReadInstalledBuild(p_.fs, paths.installed, b)) {
      publication.isSigned = b.number != 0;
      publication.number = b.number;
      publication.manifestSha256 = b.digest;
    }
    Committed(prog, probationVersion_, publication);
    QueueReport(prog.name, probationFrom_, probationVersion_, publication.number, kReportKept);
    return true;
  } catch (const VbError& e) {
    // A file error: the next tick tries again (after the commit, recovery finishes the clean-up).
    try {
      logs_.SalvaLogErro("Período de prova " + std::string(kBackupServiceName) + " " + ErrorText(e));
    } catch (const VbError&) {
    }
  }
  return false;
}

void Updater::ProbationFailed(const std::string& why) {
  const Program& prog = ProgramFor(kBackupServiceName);
  const std::string version = probationVersion_;
  // Worded now: `why` is the probation's own, which goes below.
  const VbError failure = Raise(
      kErrProbationFailed, "o " + std::string(prog.name) + " " + version + " " + why + "; a versão anterior volta");
  const Paths paths(temp_, prog.name);
  auto tell = [&](const std::string& text) {
    try {
      logs_.SalvaLogErro(text);
    } catch (const VbError&) {
      // The rollback matters more than its report.
    }
  };
  // Held first: a power cut in the rollback below must not try this build again at once.
  PublicationKey key{prog.name, 0, {}, version};
  try {
    if (failureHeld_) throw Raise(kErrProbationFailed);  // held at an earlier tick already
    InstalledBuild b;
    if (ReadInstalledBuild(p_.fs, paths.installed, b)) {
      key.number = b.number;
      key.digest = b.digest;
    }
    HoldPublication(prog, key);
    failureHeld_ = true;
  } catch (const VbError& e) {
    if (!failureHeld_) tell("Update Sistema " + std::string(prog.name) + " " + ErrorText(e));
  }
  // From here recovery rolls back, whatever cuts this short; until the stage
  // is gone, the failed verdict stays and the next tick tries again.
  try {
    SetJournalStage(prog, "");
  } catch (const VbError& e) {
    tell("Update Sistema " + std::string(prog.name) + " " + ErrorText(e));
    return;
  }
  probation_.reset();
  probationTimer_->SetEnabled(false);
  observer_->UpdateRefused(prog.name, version, failure.Number(), failure.Description());
  // A rollback that fails keeps its journal: the next check tries again.
  const bool back = Finishing([&] {
    if (!Restaura(prog, true, true)) return false;
    CleanUp(prog);
    return true;
  });
  if (back) QueueReport(prog.name, version, probationFrom_, key.number, kReportRolledBack);
  const std::string text = "Update Sistema " + std::string(prog.name) + " " + ErrorText(failure);
  tell(text);
  try {
    Report(text, kCorVermelha);
  } catch (const VbError&) {
  }
}

}  // namespace quarn
