// What lets a publication in: its rollout's reach, the holds of failed
// publications, and the build in place checked against the disk.
#include "monitor/update/updater.h"

#include <algorithm>

#include "common/suite_files.h"
#include "monitor/update/reports.h"
#include "monitor/update/rollout.h"
#include "monitor/update/updater_parts.h"

namespace quarn {

using namespace update_parts;

// ---- holds ---------------------------------------------------------------------

namespace {
// Parts in ten thousand as a percentage, in the system's words: "25", "12,5", "0,01".
std::string PercentText(uint32_t parts) {
  std::string text = std::to_string(parts / 100);
  if (const uint32_t rest = parts % 100) text += "," + std::string(rest < 10 ? "0" : "") + std::to_string(rest);
  while (text.back() == '0' && text.find(',') != std::string::npos) text.pop_back();
  return text;
}
}  // namespace

bool Updater::RolloutAllows(const Program& prog) {
  const auto it = publications_.find(prog.name);
  const Publication none;
  const Publication& pub = it == publications_.end() ? none : it->second;
  // The bucket is drawn only once a publication is staged.
  const bool waits =
      pub.isSigned && (pub.hold || (pub.rollout < kRolloutAll && !PublicationReaches(pub, p_.policy.RolloutBucket())));
  observer_->RolloutWaiting(prog.name, waits);
  if (!waits) return true;
  // Seen and verified: a statement older than this one (a wider rollout the
  // publisher has since narrowed or held) is never taken after it.
  if (verifier_) verifier_->RegistraPublicacao(prog.name, pub);
  const std::string said = std::to_string(pub.number) + (pub.hold ? " hold" : " " + std::to_string(pub.rollout));
  if (rolloutSaid_[prog.name] != said) {
    const std::string n = std::to_string(pub.number);
    logs_.SalvaLogGeral(pub.hold ? "Publicação " + n + " suspensa pelo publicador: esta máquina mantém o build " +
                                       this->*prog.local
                                 : "Publicação " + n + " em implantação gradual (" + PercentText(pub.rollout) +
                                       "%): esta máquina aguarda",
                        kCorAzul, false);
    rolloutSaid_[prog.name] = said;
    QueueReport(prog.name, this->*prog.local, this->*prog.net, pub.number, kReportWaiting);
  }
  return false;
}

PublicationKey Updater::KeyOf(const Program& prog) const {
  PublicationKey key{prog.name, 0, {}, this->*prog.net};
  auto it = publications_.find(prog.name);
  if (it != publications_.end() && it->second.isSigned) {
    key.number = it->second.number;
    key.digest = it->second.manifestSha256;
  }
  return key;
}

std::vector<Hold> Updater::ReadHolds() {
  const std::string path = JoinPath(LogsFolderOf(app_), kHoldsFile);
  if (!p_.fs.FileExists(path)) return {};
  // A planted giant is read no further than the bound.
  if (p_.fs.Stamp(path).size > kMaxHoldsBytes) return {};
  return ParseHolds(p_.codec.FromAnsi(p_.fs.ReadAll(path)));
}

void Updater::WriteHolds(const std::vector<Hold>& holds) {
  WriteReplacing(JoinPath(LogsFolderOf(app_), kHoldsFile), p_.codec.ToAnsi(FormatHolds(holds)));
}

void Updater::HoldPublication(const Program& prog, const PublicationKey& key) {
  std::vector<Hold> holds = ReadHolds();
  const Hold& h = HoldAgain(holds, key, p_.policy.UtcNow());
  const std::string next = UtcText(h.nextTryUtc);
  const int64_t hours = HoldDelaySeconds(h.failures) / 3600;
  WriteHolds(holds);
  observer_->UpdateHeld(prog.name, key.version, h.nextTryUtc);
  QueueReport(prog.name, this->*prog.local, key.version, key.number, kReportHeld);
  logs_.SalvaLogGeral("Publicação " + std::to_string(key.number) + " do " + prog.name + " " + key.version +
                          " retida após " + std::to_string(h.failures) + " falha(s); nova tentativa em " +
                          std::to_string(hours) + " h (" + next + ")",
                      kCorVermelha, false);
}

bool Updater::HoldAllows(const Program& prog) {
  const PublicationKey key = KeyOf(prog);
  const std::vector<Hold> holds = ReadHolds();
  const Hold* h = nullptr;
  switch (HoldStateFor(holds, key, p_.policy.UtcNow(), &h)) {
    case HoldState::kNone:
      observer_->UpdateHoldCleared(prog.name);
      return true;
    case HoldState::kHeld:
      observer_->UpdateHeld(prog.name, key.version, h->nextTryUtc);
      return false;
    case HoldState::kDue:
      logs_.SalvaLogGeral("Publicação " + std::to_string(key.number) + " do " + prog.name + " " + key.version +
                              " retida: nova tentativa (" + std::to_string(h->failures) + " falha(s) antes)",
                          kCorPreta, false);
      return true;
  }
  return true;
}

// ---- the build in place against the disk ---------------------------------------

std::string Updater::DamagedFile(const Program& prog, bool& missing) {
  const std::string exe = std::string(prog.name) + ".exe";
  const std::string listPath = JoinPath(LogsFolderOf(app_), InstalledBuildFile(prog.name));
  InstalledBuild b;
  try {
    const bool listed = ReadInstalledBuild(p_.fs, listPath, b) && p_.codec.FromAnsi(b.version) == this->*prog.local;
    if (!listed) {
      // A build nobody listed (the installer's) is checked for its program file alone.
      missing = true;
      return p_.fs.FileExists(JoinPath(app_, exe)) ? std::string() : exe;
    }
    bool restamped = false;
    for (InstalledFile& f : b.files) {
      const std::string name = p_.codec.FromAnsi(f.name);
      const std::string path = JoinPath(app_, name);
      const std::optional<FileStamp> stamp =
          p_.fs.FileExists(path) ? std::optional<FileStamp>(p_.fs.Stamp(path)) : std::nullopt;
      switch (CheckStamp(f, stamp)) {
        case FileCheck::kSame:
          break;
        case FileCheck::kMissing:
          missing = true;
          return name;
        case FileCheck::kChanged:
          missing = false;
          return name;
        case FileCheck::kHash:
          if (!f.sha256.empty() && verifier_ && verifier_->HashFile(path) != f.sha256) {
            missing = false;
            return name;
          }
          f.writeTime = stamp->writeTime;  // the same bytes, written again: no digest next time
          restamped = true;
          break;
      }
    }
    if (restamped) WriteReplacing(listPath, FormatInstalledBuild(b));
  } catch (const VbError& e) {
    // What cannot be read now is read at the next check; nothing is fetched on a guess.
    logs_.SalvaLogErro("Verificando " + std::string(prog.name) + " " + ErrorText(e));
  }
  return {};
}

}  // namespace quarn
