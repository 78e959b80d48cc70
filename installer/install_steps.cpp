// The installation's steps: folders, the payload's files, the updates a
// cut run left, the services, and the entry that removes it all again.
#include "installer/frm_instal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "monitor/update/settle.h"

namespace quarn {

bool FrmInstal::ExtraiArquivoRecurso(const std::string& name, const std::string& path) {
  try {
    // Emptied first: a longer old file keeps no tail after the new bytes.
    p_.fs.WriteAll(path, p_.resources.Read(name));
    return true;
  } catch (const VbError& e) {
    lastWriteError_ = e.Number();
    p_.view.MessageBoxOk(path + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
    return false;
  }
}

void FrmInstal::PreparaPastas() {
  // \Solvane is protected too: whoever may change it could swap the suite folder
  // for one of their own. Only its own access list is reset; what else it holds
  // is not the suite's, and keeps what it inherited.
  const std::string solvane = Drive() + ":\\" + kMakerFolder;
  PreparaPasta(solvane, false);
  strPastaInstalacao_ = solvane + "\\" + kSuiteFolderName;
  PreparaPasta(strPastaInstalacao_, true);
  strPastaTemp_ = strPastaInstalacao_ + "\\" + kInstallerTempFolder;
  if (!p_.fs.DirExists(strPastaTemp_)) p_.fs.CreateDir(strPastaTemp_);
  p_.platform.ProtectFolder(strPastaTemp_, false);
  // It names the update server and the keys builds are checked against.
  p_.platform.ProtectKey(kSuiteKey);
}

void FrmInstal::PreparaPasta(const std::string& folder, bool tree) {
  bool takeOver = false;
  switch (DecideFolder(p_.platform.InspectFolder(folder), p_.platform.InstallingAccount())) {
    case FolderAction::MoveAside: {
      const std::string aside = AsideName(folder, Carimbo());
      p_.platform.MoveAside(folder, aside);
      p_.view.Note(folder + " não foi criada pelo instalador nem por um administrador: movida para " + aside + ".");
      p_.fs.CreateDir(folder);
      break;
    }
    case FolderAction::Create:
      p_.fs.CreateDir(folder);
      break;
    case FolderAction::Use:
      // Decided on the folder as found, before it is closed below.
      takeOver = tree && !takeoverChecked_ && !PastaDoQuarn(folder);
      break;
  }
  for (const std::string& link : p_.platform.ProtectFolder(folder, tree))
    p_.view.Note("Link removido sem ser seguido: " + link + ".");
  if (!tree) return;
  // Closed first: nobody else may add anything while it is emptied.
  if (!takeoverChecked_) {
    takeoverChecked_ = true;  // made afresh or moved aside: nothing in it to take over
    takenOver_ = takeOver;
    if (takeOver) TomaPosse(folder, p_.platform.Entries(folder));
  } else if (!takeoverStuck_.empty()) {
    TomaPosse(folder, std::exchange(takeoverStuck_, {}));  // held by a program that has been ended since
  }
}

void FrmInstal::InstalarQuarn() {
  AguardaIntervalo(0, 2000);
  if (!p_.platform.KeepsPermissions(Drive() + ":\\")) {
    exitCode_ = kExitNoPermissions;
    p_.view.MessageBoxOk(NoPermissionsMessage(Drive()));
    p_.view.CloseWindow();
    return;
  }
  PreparaPastas();  // again: whatever ran until now has been ended
  SetStep(0, StepLook::Done);

  AguardaIntervalo(1, 2500);
  std::map<std::string, long> notWritten;
  InstallChecks checks;
  uint64_t bytes = 0;
  {
    // A monitor that did not end yet finishes its update first; one that
    // never lets go is not waited for beyond the bound.
    const UpdateLockHold lock(p_.platform.SuiteUpdateLock(), kUpdateLockWaitMs);
    if (!lock.Held()) p_.view.Note("O monitor segue com uma atualização; a instalação continua.");
    // A folder taken over holds no update of ours to settle.
    const std::vector<std::string> unsettled = takenOver_ ? std::vector<std::string>() : AcertaAtualizacoesPendentes();
    for (const auto& f : kPayload) {
      const std::string path = JoinPath(strPastaInstalacao_, f.target);
      if (ExtraiArquivoRecurso(f.resource, path)) {
        EsqueceVersaoLocal(f.target);
        bytes += p_.fs.Stamp(path).size;
      } else {
        notWritten[f.target] = lastWriteError_;
        checks.notWritten.push_back(f.target);
      }
    }
    // The repair's build is in place over what could not be put right: the
    // journal of that update no longer describes the disk, and must not undo it.
    for (const std::string& program : unsettled) {
      try {
        ClearUpdateFiles(p_.fs, UpdatePaths(TempFolderOf(strPastaInstalacao_), program), {}, false);
      } catch (const VbError& e) {
        p_.view.MessageBoxOk(program + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
      }
    }
  }
  if (CopiaInstalador()) {
    bytes += p_.fs.Stamp(JoinPath(strPastaInstalacao_, kInstallerCopy)).size;
    checks.listed = p_.platform.RegistraDesinstalacao(EntradaDesinstalacao(bytes));
  } else {
    checks.notWritten.push_back(kInstallerCopy);
  }
  // Every library and control the programs load is checked against the bytes
  // this installer carries, and held unchanged until they have started: one
  // planted where it goes and held open, so that it could not be written
  // over, keeps every program from starting (all of them load them).
  std::vector<std::unique_ptr<FileHold>> companions;
  std::set<std::string> foreign(takeoverStuck_.begin(), takeoverStuck_.end());
  checks.notMoved = takeoverStuck_;
  for (size_t i = 3; i < std::size(kPayload); ++i) {
    if (auto held = ProgramaIntacto(kPayload[i])) {
      companions.push_back(std::move(held));
      continue;
    }
    foreign.insert(kPayload[i].target);
    if (!notWritten.count(kPayload[i].target)) checks.notWritten.push_back(kPayload[i].target);  // changed since
  }
  // Event Viewer reads the monitor's entries from its own file; one that could
  // not be pointed at is shown without its text, never a reason to stop here.
  p_.platform.RegistraFonteEventos(JoinPath(strPastaInstalacao_, kMonitorServiceFile));
  const bool guiOurs =
      foreign.empty() && (notWritten.count(QUARN_GUI_MONITOR_STEM ".EXE") == 0 || ProgramaIntacto(kPayload[0]));
  for (const char* control : kControlsToRegister) {
    const std::string path = JoinPath(strPastaInstalacao_, control);
    // Registering runs the file's code with administrator rights: only a file
    // this run wrote is trusted with that.
    if (const auto it = notWritten.find(control); it != notWritten.end()) {
      p_.view.MessageBoxOk(path + "\r\n" + std::to_string(it->second) +
                           " - O controle não foi registrado: o arquivo não foi gravado nesta instalação.");
      continue;
    }
    if (foreign.count(control)) continue;  // changed after it was written: named in the verdict
    p_.platform.fVBRegServer(path, true);
  }
  SetStep(1, StepLook::Done);

  AguardaIntervalo(2, 3500);
  if (!p_.platform.VerificaSeWindowsNT()) {
    exitCode_ = kExitNotNt;
    p_.view.MessageBoxOk("This program requires Windows NT/2000/XP");
    p_.view.CloseWindow();
    return;
  }
  p_.control.PastaService = strPastaInstalacao_;
  if (p_.control.PastaService.empty() || p_.control.PastaService.back() != '\\') p_.control.PastaService += "\\";
  // A service is created and started only from the program this run wrote (or
  // found exactly as the payload has it), held unchanged until it has started.
  // A service whose program is anything else is removed, so that nothing
  // starts it at the next boot either.
  std::unique_ptr<FileHold> programs[2] = {ProgramaIntacto(kPayload[1]), ProgramaIntacto(kPayload[2])};
  if (!foreign.empty()) {
    p_.view.Note(JoinedNames(foreign) + ": não são os arquivos deste instalador; nenhum serviço é iniciado.");
    for (auto& held : programs) held.reset();  // the services are then removed below, as for a program not ours
  }
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);
  for (int i : {0, 1}) {
    if (programs[i]) continue;
    if (foreign.empty())
      p_.view.Note(std::string(kPayload[i + 1].target) + " não é o programa deste instalador: o serviço não é iniciado.");
    // The states read next, and the verdict at the end, tell what came of it.
    if (panel_.Labels(i).installCaption != kInstallService) (void)p_.control.RemoverService(i);
  }
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);
  // A service not created is not started either; the verdict names it.
  if (programs[0] && panel_.Labels(0).installCaption == kInstallService) (void)p_.control.InstalarService(0);
  if (programs[1] && panel_.Labels(1).installCaption == kInstallService) (void)p_.control.InstalarService(1);
  for (int i : {0, 1})
    if (programs[i]) ConcedeLogs(i);
  SetStep(2, StepLook::Done);

  AguardaIntervalo(3, 3500);
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);
  // Whether they run is checked, with a bounded wait, before the verdict.
  if (programs[0] && panel_.Labels(0).startCaption == kStartService) (void)p_.control.IniciarService(0);
  if (programs[1] && panel_.Labels(1).startCaption == kStartService) (void)p_.control.IniciarService(1);
  // A service says start-pending until its own start-up is done; a silent run,
  // with no pauses, would read that as not running.
  WaitWhile([&] {
    for (int i : {0, 1}) {
      p_.control.SelecionarService(i);
      if (programs[i] && p_.control.StatusService() == kServiceStartPending) return true;
    }
    return false;
  });
  for (auto& held : programs) held.reset();  // started: the monitor may update them from now on
  SetStep(3, StepLook::Done);

  AguardaIntervalo(4, 3500);
  panel_.AtualizaStatusService(0);
  checks.serviceRuns = panel_.Labels(0).startCaption == kStopService;
  SetStep(4, checks.serviceRuns ? StepLook::Done : StepLook::Failed);

  AguardaIntervalo(5, 3500);
  panel_.AtualizaStatusService(1);
  checks.monitorRuns = panel_.Labels(1).startCaption == kStopService;
  SetStep(5, checks.monitorRuns ? StepLook::Done : StepLook::Failed);

  const std::string gui = JoinPath(strPastaInstalacao_, QUARN_GUI_MONITOR_STEM ".EXE");
  // Started only when this run wrote it or found it as the payload has it. The
  // monitor, running by now, may already have put a newer build there: in the
  // protected folder only it and administrators can, so that one is trusted.
  // Counts as started only when this run wrote it.
  if (guiOurs && p_.fs.FileExists(gui)) {
    try {
      p_.platform.StartHidden(gui);
      checks.guiStarted = notWritten.count(QUARN_GUI_MONITOR_STEM ".EXE") == 0;
    } catch (const VbError& e) {
      p_.view.Note(gui + ": " + std::to_string(e.Number()) + " - " + e.Description());
    }
  } else if (!guiOurs && foreign.empty()) {
    p_.view.Note(gui + " não é o programa deste instalador: não foi iniciado.");
  }
  companions.clear();

  // The success panel only when everything is in place; otherwise say what is not.
  const Verdict verdict = JulgaInstalacao(checks);
  exitCode_ = verdict.exitCode;
  if (verdict.exitCode == kExitOk) {
    p_.view.ShowSuccessPanel();
    successShown_ = true;
  } else {
    p_.view.ShowFailurePanel(verdict.failures);
  }
  finished_ = true;
  loadWin(false);
}

bool FrmInstal::CopiaInstalador() {
  // Windows' list of installed programs runs this copy to remove the suite: it
  // lies in the protected folder, never where the installer was downloaded to.
  const std::string copy = JoinPath(strPastaInstalacao_, kInstallerCopy);
  if (LowerCase(copy) == LowerCase(SelfPath())) return true;  // running from it
  try {
    p_.fs.WriteAll(copy, p_.fs.ReadAll(SelfPath()));
    return true;
  } catch (const VbError& e) {
    p_.view.MessageBoxOk(copy + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
    return false;
  }
}

UninstallEntry FrmInstal::EntradaDesinstalacao(uint64_t payloadBytes) const {
  UninstallEntry e;
  const std::string copy = JoinPath(strPastaInstalacao_, kInstallerCopy);
  e.key = "QuarnSQL";
  e.displayName = "Quarn SQL Server";
  e.displayVersion =
      std::to_string(info_.major) + "." + std::to_string(info_.minor) + "." + std::to_string(info_.revision);
  e.publisher = "Solvane";
  e.installLocation = strPastaInstalacao_;
  e.displayIcon = copy;
  e.uninstallString = "\"" + copy + "\" /uninstall";
  e.quietUninstallString = "\"" + copy + "\" /uninstall /quiet";
  e.estimatedSizeKb = static_cast<uint32_t>((payloadBytes + 1023) / 1024);
  return e;
}

}  // namespace quarn
