// One update check: the version records here and on the server, compared,
// and an update started when they differ; what a cut update left put right.
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

// ---- version records -----------------------------------------------------------

std::string Updater::ReadRecord(const std::string& path, bool last) {
  // Measured before it is read: a record the size of the disk is never loaded.
  if (const uint64_t size = p_.fs.Stamp(path).size; size > kMaxRecordBytes) throw RecordTooLarge(size);
  return RecordLine(p_.fs.ReadAll(path), last);
}

void Updater::PegaLocal(const Program& prog) {
  std::string& value = this->*prog.local;
  const std::string path = LocalRecordPath(prog);
  value.clear();
  try {
    if (!p_.fs.FileExists(path)) p_.fs.WriteAll(path, {});
    value = TrimSpaces(ReadRecord(path, true));
    Report(prog.localLabel + value, kCorPreta);
  } catch (const VbError& e) {
    if (e.Number() == kErrBadFileFormat) {
      // Our own record, grown past its bounds: it names no build, and the
      // update that follows writes it again (refusing it would stop every
      // later check).
      const std::string text = std::string(prog.localLabel) + ErrorText(e);
      Report(text, kCorVermelha);
      logs_.SalvaLogErro(text);
      return;
    }
    value = kVersionError;
    observer_->CheckFailed(prog.name, e.Number());
    Report(std::string(prog.localLabel) + kVersionError + " " + ErrorText(e), kCorVermelha);
  }
}

void Updater::PegaNet(const Program& prog) {
  std::string& value = this->*prog.net;
  value.clear();
  Report(prog.checking, kCorPreta);
  for (int attempt = 0;; ++attempt) {
    bool fromKept = false;
    try {
      const std::string archive = temp_ + prog.versionZip;
      if (p_.fs.FileExists(archive)) p_.fs.Delete(archive);
      publications_.erase(prog.name);
      BaixaVersao(prog, archive, fromKept);
      // The record and its statement, nothing else of the archive, into a
      // folder that holds nothing the updater acts on.
      const std::string folder = VersionFolder();
      EmptyFolder(p_.fs, folder);
      const std::string record = folder + prog.recordFile;
      DesCompacta(archive, std::string(prog.recordFile) + "|" + kStatementName, folder, false);
      value = TrimSpaces(ReadRecord(record, false));
      if (verifier_) {
        publications_[prog.name] = verifier_->VerificaPublicacao(folder, prog.name, value, logs_);
        if (publications_[prog.name].isSigned)
          observer_->PublicationValidUntil(prog.name, publications_[prog.name].validUntil);
      }
      KeepVerifiedVersion(prog, archive, fromKept);
      Report(prog.netLabel + value, kCorAzul);
      return;
    } catch (const VbError& e) {
      // A kept answer that no longer verifies goes, and the whole archive
      // decides, in this same check.
      if (fromKept) {
        DropKeptVersion(prog);
        if (attempt == 0) continue;
      }
      value = kVersionError;
      observer_->CheckFailed(prog.name, e.Number());
      if (e.Number() == kErrPublicationExpired) observer_->PublicationExpired(prog.name, e.Description());
      const std::string text = std::string(prog.netLabel) + kVersionError + " " + ErrorText(e);
      Report(text, kCorVermelha);
      if (SecurityRefusal(e) || e.Number() == kErrBadFileFormat || IsCertificateRefusal(e.Number()))
        logs_.SalvaLogErro(text);
      return;
    }
  }
}

void Updater::PegaVLocal() { PegaLocal(ProgramFor(kBackupServiceName)); }
void Updater::PegaVLocalEXE() { PegaLocal(ProgramFor(kGuiMonitorName)); }
void Updater::PegaVNET() { PegaNet(ProgramFor(kBackupServiceName)); }
void Updater::PegaVNETEXE() { PegaNet(ProgramFor(kGuiMonitorName)); }

// ---- checks --------------------------------------------------------------------

void Updater::Verifica(const Program& prog) {
  VerificaPrograma(prog);
  SendReports();
}

void Updater::VerificaPrograma(const Program& prog) {
  // A check that falls due inside a probation's rollback (whose waits run the
  // timers) would act on the same journal: it waits for the next one.
  if (busy_) return;
  // A check never ends the program: a report it cannot write ends the check.
  UpdateCheckScope observed(*observer_, prog.name);
  const Busy busy(busy_);
  // The installer settles and writes the suite under the same lock: a check
  // while it does would undo its files, or it ours. The next check comes.
  const UpdateLockHold lock(p_.lock, 0);
  if (!lock.Held()) {
    try {
      logs_.SalvaLogGeral(std::string("Verificação do ") + prog.name + " adiada: o Quarn SQL está sendo instalado.",
                          kCorAzul, false);
    } catch (const VbError&) {
    }
    return;
  }
  try {
    // What an interrupted update left is put right first; until it is, nothing new is installed.
    if (!RecuperaAtualizacao(prog.name)) return;
    if (verifier_ && verifier_->AllowUnsigned()) {
      const std::string text =
          std::string("Verificando ") + prog.name +
          ": AllowUnsignedUpdates = 1, builds sem assinatura são aceitos por decisão do administrador";
      // In the general and error logs: the formatted report keeps its own lines.
      logs_.SalvaLogGeral(text, kCorVermelha, false);
      logs_.SalvaLogErro(text);
    }
    if (!TemConexaoInternet()) {
      Report("Sem conexão com a internet.", kCorAzul);
      return;
    }
    if (ServerWaitMs()) {
      Report("Verificação do " + std::string(prog.name) + " adiada: o servidor de atualização pediu para aguardar.",
             kCorAzul);
      return;
    }
    UseMachineProxy();
    PegaNet(prog);
    PegaLocal(prog);
    const std::string& local = this->*prog.local;
    const std::string& net = this->*prog.net;
    if (local == kVersionError || net == kVersionError) return;
    if (!PrecisaAtualizar(local, net)) {
      observer_->RolloutWaiting(prog.name, false);
      DropPartial(prog);  // a part of another publication's build is of no use
      // A newer statement of the build in place: no older one is taken again.
      if (verifier_ && publications_.count(prog.name))
        verifier_->RegistraPublicacao(prog.name, publications_[prog.name]);
      observer_->UpdateHoldCleared(prog.name);
      // The record names the build in place only as long as the disk holds it.
      bool missing = false;
      const std::string damaged = DamagedFile(prog, missing);
      if (damaged.empty()) {
        Report("Nenhuma atualização disponível no momento para o Quarn Monitor SQL Service.", kCorAzul);
        Report("Monitorando...", kCorAzul);
        return;
      }
      const std::string text =
          "Verificando " + std::string(prog.name) + " " +
          ErrorText(Raise(kErrInstalledFileDamaged, damaged + (missing ? " ausente" : " alterado"))) + "; o build " +
          local + " é instalado de novo";
      Report(text, kCorVermelha);
      logs_.SalvaLogErro(text);
      observer_->InstalledFileDamaged(prog.name, damaged, missing);
      // The same publication again: if it failed before, the hold says when.
      if (!HoldAllows(prog)) return;
    } else if (!RolloutAllows(prog) || !HoldAllows(prog)) {
      return;
    }
    UpdateSistema(prog.name);
  } catch (const VbError& e) {
    observer_->CheckFailed(prog.name, e.Number());
    try {
      logs_.SalvaLogErro(std::string("Verificando ") + prog.name + " " + ErrorText(e));
    } catch (const VbError&) {
    }
  } catch (const ProgramEnd&) {
    // Told to stop: the monitor ends, the backup service must not stay stopped.
    ending_ = true;
    StartBackupService();
    throw;
  }
}

void Updater::RecuperaPendentes() {
  for (const char* name : {kBackupServiceName, kGuiMonitorName}) {
    if (busy_) return;
    const Busy busy(busy_);
    const UpdateLockHold lock(p_.lock, 0);
    if (!lock.Held()) return;  // the installer settles what is pending itself
    try {
      (void)RecuperaAtualizacao(name);
    } catch (const VbError& e) {
      logs_.SalvaLogErro(std::string("Restaura ") + name + " " + ErrorText(e));
    }
  }
}

void Updater::VerificarSeTemAtualService() { Verifica(ProgramFor(kBackupServiceName)); }
void Updater::VerificarSeTemAtualExe() { Verifica(ProgramFor(kGuiMonitorName)); }

}  // namespace quarn
