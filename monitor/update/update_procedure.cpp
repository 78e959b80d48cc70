// The update itself: the program stopped or ended, its build swapped in under
// the journal, the backup service started again under probation.
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

// ---- the update ----------------------------------------------------------------

void Updater::WriteDurable(const std::string& path, std::string_view bytes) {
  p_.fs.WriteAll(path, bytes);
  p_.fs.Flush(path);
}

void Updater::Wait(int ms) {
  if (ending_) {
    p_.loop.Pause(ms);
  } else {
    p_.loop.Idle(ms);
  }
}

void Updater::EndProgram(const std::string& exe) {
  uintptr_t noWindow = 0;
  uint32_t id = p_.fecha.PegaIdProcesso(exe);
  if (id != 0) p_.fecha.FechaProcesso(id, noWindow);
  // Its file can be replaced only once it is gone; an ended program that
  // lingers is ended again, and the wait is bounded.
  const uint64_t limit = ending_ ? kEndingWaitMs : kProcessWaitMs;
  const uint64_t start = p_.loop.TickMs();
  while ((id = p_.fecha.PegaIdProcesso(exe)) != 0) {
    if (p_.loop.TickMs() - start >= limit)
      throw VbError(kErrProgramStillRunning, "O programa " + exe + " não terminou");
    p_.fecha.FechaProcesso(id, noWindow);
    Wait(kProcessPollMs);
  }
}

void Updater::StopService() {
  watchdog_.SetEnabled(false);
  // Stopped as it asks to be, its process gone, before a file of it is
  // touched; ended past the bound.
  (void)PararServiceEAguardar(ServiceStopPorts{p_.service, p_.fecha, p_.loop}, ending_ ? kEndingWaitMs : kProcessWaitMs,
                              ending_);
}

void Updater::StopProgram(const Program& prog) {
  if (prog.isService) StopService();
  EndProgram(std::string(prog.name) + ".exe");
}

void Updater::StartBackupService() {
  // The service may still be stopping from our own stop request; a start is
  // refused until it has stopped.
  const uint64_t start = p_.loop.TickMs();
  int32_t state = p_.service.StatusService();
  while (state != kServiceStopped && state != kServiceRunning && state != kServiceUnknown &&
         p_.loop.TickMs() - start < kEndingWaitMs) {
    Wait(kProcessPollMs);
    state = p_.service.StatusService();
  }
  if (state != kServiceRunning) (void)p_.service.IniciarService();  // on the way out: nothing more to try
}

std::optional<std::string> Updater::RecordVersion(const Program& prog) {
  try {
    const std::string record = LocalRecordPath(prog);
    return p_.fs.FileExists(record) ? TrimSpaces(ReadRecord(record, true)) : std::string();
  } catch (const VbError&) {
    return std::nullopt;
  }
}

std::vector<std::string> Updater::OtherProgramsFiles(const Program& prog) {
  std::vector<std::string> names;
  const Program& other = ProgramFor(prog.isService ? kGuiMonitorName : kBackupServiceName);
  const std::string listPath = JoinPath(LogsFolderOf(app_), InstalledBuildFile(other.name));
  try {
    InstalledBuild b;
    if (ReadInstalledBuild(p_.fs, listPath, b))
      for (const InstalledFile& f : b.files) names.push_back(p_.codec.FromAnsi(f.name));
  } catch (const VbError&) {
    // Unreadable: the suite's own names still hold.
  }
  return names;
}

std::function<std::string(const std::string&)> Updater::Hasher() {
  if (!verifier_) return nullptr;
  return [this](const std::string& path) { return verifier_->HashFile(path, !ending_); };
}

void Updater::UpdateSistema(const std::string& name) {
  const Program& prog = ProgramFor(name);
  const bool service = prog.isService;
  const std::string exe = name + ".exe";
  const Paths paths(temp_, name);
  bool journaled = false, kept = false;
  BackOn backOn(watchdog_, p_.service);
  const Busy busy(busy_);
  // A failed update puts the old build back; the journal stays while it cannot.
  auto undo = [&] {
    return Finishing([&] {
      if (journaled && !kept) {
        if (!Restaura(prog, false)) return false;
        CleanUp(prog);
      } else if (!journaled) {
        RemoveFolder(p_.fs, paths.staging);  // a refused build takes no room until the next check
      }
      return true;
    });
  };
  try {
    const std::string archive = temp_ + name + ".zip";
    if (p_.fs.FileExists(archive)) p_.fs.Delete(archive);
    Report("Baixando Serviço " + name + " para atualização...", kCorPreta);
    BaixaBuild(prog, archive);
    Report(name + " baixado com sucesso.", kCorPreta);

    // The build is unpacked and checked before anything running is touched.
    EmptyFolder(p_.fs, paths.staging);
    const int32_t extracted = DesCompacta(archive, "", paths.staging, false);
    std::vector<std::string> files = p_.fs.ListFiles(paths.staging);
    if (!p_.fs.FileExists(JoinPath(paths.staging, exe)))
      throw Raise(kErrFileNotFound, exe + " no pacote " + name + ".zip");
    // Every entry or none: a build missing one of its files is no build.
    if (extracted < 0 || static_cast<size_t>(extracted) != files.size())
      throw Raise(kErrBadFileFormat,
                  name + ".zip não foi descompactado por inteiro (" + std::to_string(extracted) + ")");
    // Signed or not, a build never replaces a file of the other program's
    // build in place, nor one another program of the suite ships.
    const std::vector<std::string> others = OtherProgramsFiles(prog);
    for (const std::string& f : files)
      if (IsAnotherProgramsFile(name, f) ||
          std::any_of(others.begin(), others.end(), [&](const std::string& o) { return SameFileName(o, f); }))
        throw VbError(kErrManifestFiles, "Arquivo de outro programa no pacote: " + f);
    std::map<std::string, std::string> digests;
    if (verifier_) {
      digests = verifier_->VerificaPacote(paths.staging, name, this->*prog.net, publications_[name], logs_);
      files = p_.fs.ListFiles(paths.staging);  // without the manifest, which never reaches the suite folder
    }
    // The GUI monitor is not started here, so no health gate can catch a
    // program that Windows would refuse to load: its file is checked instead.
    const std::string stagedExe = JoinPath(paths.staging, exe);
    const uint64_t exeSize = p_.fs.Stamp(stagedExe).size;
    if (!service && !IsWindowsProgram(p_.fs.ReadAll(stagedExe)))
      throw Raise(kErrBuildUnhealthy, exe + " do pacote " + name + ".zip não é um programa do Windows");

    // Stopped, a disabled service would not start again, on either build.
    if (service && p_.service.Desativado())
      throw Raise(kErrServiceDisabled, "o " + name + " segue na versão " + this->*prog.local + " até ser ativado");
    Report("Parando o " + name + ".", kCorAzul);
    if (service) {
      backOn.Arm();
      StopService();
    }
    EndProgram(exe);
    Report("Atualizando o " + name + "...", kCorPreta);

    Report("Descompactando...", kCorPreta);
    const std::string record = LocalRecordPath(prog);
    std::string text = this->*prog.net + std::string(kCrLf) + this->*prog.local + std::string(kCrLf);
    // Each file replaced is kept with its digest: only that copy goes back.
    const auto hash = Hasher();
    for (const auto& f : files) {
      const std::string dst = JoinPath(app_, f);
      if (!p_.fs.FileExists(dst)) {
        text += "+" + f + std::string(kCrLf);
        continue;
      }
      text += "=" + f + (hash ? "\t" + ToHex(hash(dst)) : std::string()) + std::string(kCrLf);
    }
    text += "." + std::string(kCrLf);
    // What the swap relies on is on the disk before the first file moves: the
    // new build's bytes and the journal that can undo it.
    for (const auto& f : files) p_.fs.Flush(JoinPath(paths.staging, f));
    WriteDurable(paths.journal, p_.codec.ToAnsi(text));
    journaled = true;
    if (!p_.fs.DirExists(paths.backup)) p_.fs.CreateDir(paths.backup);
    for (const auto& f : files) {
      const std::string dst = JoinPath(app_, f);
      if (p_.fs.FileExists(dst)) p_.fs.DurableRename(dst, JoinPath(paths.backup, f));
      p_.fs.DurableRename(JoinPath(paths.staging, f), dst);
    }
    // Whole in its place before the record names it.
    if (p_.fs.Stamp(JoinPath(app_, exe)).size != exeSize)
      throw Raise(kErrBuildUnhealthy, exe + " não ficou inteiro na pasta do Quarn SQL");
    Report("Descompactado...", kCorAzul);

    Report(std::string("Salvando ") + prog.savingLabel + "...", kCorPreta);
    // On the disk before the commit point, after which the old build's copy goes.
    ReplaceFile(p_.fs, record, p_.codec.ToAnsi(this->*prog.net + std::string(kCrLf)));
    Report(std::string(prog.savingLabel) + " Salva...", kCorAzul);
    WriteInstalledDraft(prog, files, digests, publications_[name]);
    if (service) {
      // From here a restart of the monitor, or a reboot, goes on with probation.
      const std::optional<FileStamp> heartbeatBefore = HeartbeatStamp();
      SetJournalStage(prog, ProbationStage(heartbeatBefore));
      kept = true;
      Report("Startando Service...", kCorPreta);
      (void)p_.service.IniciarService();  // probation decides whether the build does its job
      Report("Startado Service...", kCorAzul);
      watchdog_.SetEnabled(true);
      StartProbation(this->*prog.net, heartbeatBefore);
      QueueReport(name, this->*prog.local, this->*prog.net, publications_[name].number, kReportInstalled);
      Report("Uma nova versão do " + name + " foi instalada.", kCorPreta);
      Report("Monitorando...", kCorPreta);
      return;
    }
    SetJournalStage(prog, kStageCommitted);
    kept = true;  // from here on the new build stays, whatever happens
    Report("Uma nova versão do " + name + " foi instalada.", kCorPreta);
    Report("Monitorando...", kCorPreta);
    Committed(prog, this->*prog.net, publications_[name]);
    QueueReport(name, this->*prog.local, this->*prog.net, publications_[name].number, kReportInstalled);
  } catch (const VbError& e) {
    std::string text = "Update Sistema " + name + " " + ErrorText(e);
    observer_->UpdateRefused(name, this->*prog.net, e.Number(), e.Description());
    QueueReport(name, this->*prog.local, this->*prog.net, publications_[name].number, kReportRefused);
    try {
      undo();
      if (e.Number() == kErrBuildUnhealthy) HoldPublication(prog, KeyOf(prog));
    } catch (const VbError& cleanup) {
      logs_.SalvaLogErro("Update Sistema " + name + " " + ErrorText(cleanup));
    }
    watchdog_.SetEnabled(true);
    Report(text, kCorVermelha);
    logs_.SalvaLogErro(text);
  } catch (const ProgramEnd&) {
    ending_ = true;
    try {
      undo();
      StartBackupService();
      const std::string text = "Update Sistema " + name + " " + ErrorText(Raise(kErrUserInterrupt));
      Report(text, kCorVermelha);
      logs_.SalvaLogErro(text);
    } catch (const VbError&) {
      // Ending all the same: what could not be put back is the next start's work.
    }
    throw;
  }
}

}  // namespace quarn
