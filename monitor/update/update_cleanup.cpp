// What an update leaves: the old build put back from the journal, a cut
// update recovered at start-up, the download folder cleared.
#include "monitor/update/updater.h"

#include <algorithm>
#include <climits>

#include "common/suite_files.h"
#include "monitor/service_stop.h"
#include "monitor/update/manifest.h"
#include "monitor/update/recovery_plan.h"
#include "monitor/update/reports.h"
#include "monitor/update/settle.h"
#include "monitor/update/updater_parts.h"

namespace quarn {

using namespace update_parts;

bool Updater::Restaura(const Program& prog, bool announce, bool probationFailed, RecoveryPlan* planned) {
  const Paths paths(temp_, prog.name);
  std::optional<RecoveryInput> in = ReadPending(p_.fs, p_.codec, app_, paths, Hasher());
  if (!in) return true;
  in->probationFailed = probationFailed || !prog.isService;  // the GUI monitor has no probation
  in->record = RecordVersion(prog);
  const RecoveryPlan plan = PlanRecovery(*in);
  if (planned) *planned = plan;

  if (!plan.invalidLine.empty()) {
    const std::string text = std::string("Restaura ") + prog.name + " " +
                             ErrorText(Raise(kErrJournalInvalid, "linha \"" + plan.invalidLine + "\""));
    Report(text, kCorVermelha);
    logs_.SalvaLogErro(text);
  }
  bool ok = true;
  auto failed = [&](const std::string& what, const VbError& e) {
    ok = false;
    const std::string text = std::string("Restaura ") + prog.name + " " + what + ErrorText(e);
    Report(text, kCorVermelha);
    logs_.SalvaLogErro(text);
  };
  BackOn backOn(watchdog_, p_.service);
  if (plan.stopProgram) {
    // Windows replaces no file of a running program: it is stopped first.
    if (prog.isService) backOn.Arm();
    try {
      StopProgram(prog);
    } catch (const VbError& e) {
      failed("", e);
    }
  }
  if (ok) {
    CarryOut(p_.fs, p_.codec, plan, app_, paths, LocalRecordPath(prog), failed);
  }
  if (plan.stopProgram && prog.isService) {
    if (ending_) {
      StartBackupService();
    } else {
      (void)p_.service.IniciarService();  // the watchdog, on again, retries a refused start
      watchdog_.SetEnabled(true);
    }
  }
  if (ok && plan.stopProgram) observer_->RolledBack(prog.name);
  if (ok && plan.stopProgram && announce)
    Report(std::string("Versão anterior do ") + prog.name + " restaurada.", kCorAzul);
  return ok;
}

void Updater::CleanUp(const Program& prog, bool committed) {
  // Called once the old build is no longer needed: put back, or the new one committed.
  ClearUpdateFiles(p_.fs, Paths(temp_, prog.name), JoinPath(LogsFolderOf(app_), InstalledBuildFile(prog.name)),
                   committed);
}

bool Updater::RecuperaAtualizacao(const std::string& name) {
  const Program& prog = ProgramFor(name);
  return Finishing([&] {
    // Killed before the commit point: the old build goes back. Killed during
    // probation: it goes on, from its start. Killed after the commit: only
    // the clean-up is left.
    RecoveryPlan plan;
    if (!Restaura(prog, true, false, &plan)) return false;
    if (plan.resumeProbation) {
      if (!probation_) {
        StartProbation(plan.newVersion, plan.heartbeatBefore ? plan.heartbeatBefore : HeartbeatStamp());
        if (!plan.oldVersion.empty()) probationFrom_ = plan.oldVersion;
        Report("O " + std::string(prog.name) + " " + plan.newVersion + " segue em período de prova.", kCorAzul);
      }
      return false;
    }
    if (probation_ && prog.isService) {
      probation_.reset();  // its journal is gone: nothing of it is left to watch
      probationTimer_->SetEnabled(false);
    }
    CleanUp(prog, plan.committed);
    return true;
  });
}

}  // namespace quarn
