#include "installer/frm_instal.h"

#include <map>

namespace quarn {

const PayloadFile kPayload[10] = {
    {QUARN_GUI_MONITOR_STEM ".EXE", QUARN_GUI_MONITOR_STEM ".EXE"},
    {QUARN_BACKUP_SERVICE_STEM ".EXE", QUARN_BACKUP_SERVICE_STEM ".EXE"},
    {QUARN_MONITOR_SERVICE_STEM ".EXE", QUARN_MONITOR_SERVICE_STEM ".EXE"},
    {"ntsvc.ocx", "NTsvc.ocx"},
    {"MSCOMCTL.ocx", "MSCOMCTL.ocx"},
    {"Comdlg32.ocx", "Comdlg32.ocx"},
    {"MSINET.ocx", "MSINET.ocx"},
    {"richtx32.ocx", "richtx32.ocx"},
    {"AZIP32.DLL", "AZIP32.DLL"},
    {"AUNZIP32.DLL", "AUNZIP32.DLL"},
};

const char* const kControlsToRegister[5] = {"richtx32.ocx", "NTsvc.ocx", "Comdlg32.ocx", "MSCOMCTL.ocx",
                                            "MSINET.ocx"};

const char* const kStepCaptions[6] = {
    "Carregando Variaveis do Sistema.", "Extraindo Arquivos.", "Instalando Serviços do Quarn.",
    "Iniciando Serviços.", "Quarn Service Iniciado.", "Quarn Service Monitor Iniciado.",
};

int Twips(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

InstallerLayout LayoutFor(int screenW, int screenH, int dpi, int frameW, int frameH) {
  InstallerLayout l{};
  l.windowX = 0;
  l.windowW = screenW;
  l.windowH = Twips(4500, dpi);
  l.windowY = screenH / 2 - l.windowH / 2;
  const int innerW = l.windowW - frameW, innerH = l.windowH - frameH;
  l.panelW = Twips(10725, dpi);
  l.panelH = Twips(3915, dpi);
  l.panelX = innerW / 2 - l.panelW / 2;
  l.panelY = innerH / 2 - l.panelH / 2;
  return l;
}

FrmInstal::FrmInstal(InstallerPorts ports, InstallerInfo info)
    : p_(ports), info_(std::move(info)), panel_(ports.control) {
  for (int i = 0; i < 6; ++i) captions_[i] = kStepCaptions[i];
  // As designed: on, 3000 ms; a tick before the first pause only sets the flag.
  Timer1_ = p_.loop.CreateTimer(3000, [this] { Timer1_Timer(); });
  Timer1_->SetEnabled(true);
}

std::string FrmInstal::VersionLine(const InstallerInfo& info, const std::string& fileDate) {
  return "Versão revisada: " + std::to_string(info.major) + "." + std::to_string(info.minor) + "." +
         std::to_string(info.revision) + " de " + fileDate;
}

void FrmInstal::SetStep(int index, StepLook look) {
  looks_[index] = look;
  p_.view.SetStep(index, captions_[index], look);
}

void FrmInstal::SetCaption(int index, const std::string& caption) {
  captions_[index] = caption;
  p_.view.SetStep(index, captions_[index], looks_[index]);
}

bool FrmInstal::Form_Load() {
  if (p_.platform.PrevInstance()) return false;
  const std::string self = JoinPath(info_.exeFolder, info_.exeName + ".exe");
  p_.view.SetVersionLine(VersionLine(info_, p_.dates.GeneralDate(p_.fs.LastModified(self))));
  for (int i = 0; i < 6; ++i) p_.view.SetStep(i, captions_[i], looks_[i]);
  p_.control.ContaService = "LocalSystem";

  // The animation runs with the installer's rights, so it is written only where
  // ordinary users cannot change it; on a volume without permissions there is
  // no such place and the picture box stays empty.
  if (p_.platform.KeepsPermissions(Drive() + ":\\")) {
    PreparaPastas();
    loaderWritten_ = ExtraiArquivoRecurso(kLoaderResource, LoaderPath());
  }
  loadWin(false);
  loadWin(true);

  p_.view.ShowWindow();
  p_.loop.DoEvents();
  VerificaSeTemService();
  p_.loop.DoEvents();
  InstalarQuarn();
  return true;
}

void FrmInstal::Timer1_Timer() {
  blnTempoEsgotado = true;
  Timer1_->SetEnabled(false);
}

void FrmInstal::Form_KeyDown(int keyCode) {
  if (keyCode == 13 && successShown_) p_.platform.EndProgram();
  if (keyCode == 27) p_.platform.EndProgram();
}

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
  // is not the suite's.
  strPastaInstalacao_ = Drive() + ":\\Solvane";
  if (!p_.fs.DirExists(strPastaInstalacao_)) p_.fs.CreateDir(strPastaInstalacao_);
  p_.platform.ProtectFolder(strPastaInstalacao_, false);
  strPastaInstalacao_ += "\\Quarn SQL";
  if (!p_.fs.DirExists(strPastaInstalacao_)) p_.fs.CreateDir(strPastaInstalacao_);
  p_.platform.ProtectFolder(strPastaInstalacao_, true);
  strPastaTemp_ = strPastaInstalacao_ + "\\Temp";
  if (!p_.fs.DirExists(strPastaTemp_)) p_.fs.CreateDir(strPastaTemp_);
  p_.platform.ProtectFolder(strPastaTemp_, false);
}

std::string FrmInstal::NoPermissionsMessage(const std::string& drive) {
  return "A unidade " + drive + ": não guarda permissões de arquivos (FAT ou exFAT), e nela o Quarn SQL ficaria "
         "aberto a qualquer usuário. Nada foi instalado: instale a partir de uma unidade NTFS.";
}

void FrmInstal::EsqueceVersaoLocal(const std::string& programFile) {
  // A repair puts this installer's build back over whatever the monitor had
  // updated to; the record of that newer build would stop the monitor from
  // fetching it again. Without the record the monitor's next check does.
  static const std::pair<const char*, const char*> kRecords[] = {
      {QUARN_BACKUP_SERVICE_STEM ".EXE", kServiceVersionRecord},
      {QUARN_GUI_MONITOR_STEM ".EXE", kGuiVersionRecord},
  };
  for (const auto& [program, record] : kRecords) {
    if (programFile != program) continue;
    const std::string path = JoinPath(JoinPath(strPastaInstalacao_, kLogsFolder), record);
    try {
      if (p_.fs.FileExists(path)) p_.fs.Delete(path);
    } catch (const VbError& e) {
      p_.view.MessageBoxOk(path + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
    }
  }
}

void FrmInstal::AguardaIntervalo(int index, int ms) {
  SetStep(index, StepLook::Current);
  blnTempoEsgotado = false;
  Timer1_->SetInterval(ms);
  Timer1_->SetEnabled(true);
  while (!blnTempoEsgotado) p_.loop.Idle(kPollMs);
}

void FrmInstal::WaitWhile(const std::function<bool()>& busy) {
  const uint64_t start = p_.loop.TickMs();
  while (busy()) {
    if (p_.loop.TickMs() - start >= kStopWaitMs) return;  // the next steps show what did not stop
    p_.loop.Idle(kPollMs);
  }
}

void FrmInstal::EndIfRunning(const char* exe, bool repairing) {
  uint32_t id = p_.fecha.PegaIdProcesso(exe);
  if (id == 0) return;
  uintptr_t noWindow = 0;
  p_.fecha.FechaProcesso(id, noWindow);
  if (repairing) SetCaption(2, kRepairCaption);
}

void FrmInstal::VerificaSeTemService() {
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);

  EndIfRunning(kGuiMonitorFile, true);
  WaitWhile([&] { return Running(kGuiMonitorFile); });

  ServiceLabels& service = panel_.Labels(0);
  ServiceLabels& monitor = panel_.Labels(1);
  if (service.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    p_.control.PararService(0);
  }
  if (monitor.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    p_.control.PararService(1);
  }
  WaitWhile([&] {
    if (service.startCaption != kStopService && monitor.startCaption != kStopService) return false;
    p_.loop.DoEvents();
    panel_.AtualizaStatusService(0);
    panel_.AtualizaStatusService(1);
    return service.startCaption == kStopService || monitor.startCaption == kStopService;
  });

  EndIfRunning(kBackupServiceFile, true);
  EndIfRunning(kMonitorServiceFile, true);
  WaitWhile([&] {
    const bool any = Running(kBackupServiceFile) || Running(kMonitorServiceFile);
    if (any) {
      EndIfRunning(kBackupServiceFile, false);
      EndIfRunning(kMonitorServiceFile, false);
    }
    return any;
  });
}

void FrmInstal::InstalarQuarn() {
  AguardaIntervalo(0, 2000);
  if (!p_.platform.KeepsPermissions(Drive() + ":\\")) {
    p_.view.MessageBoxOk(NoPermissionsMessage(Drive()));
    p_.view.CloseWindow();
    return;
  }
  PreparaPastas();  // again: whatever ran until now has been ended
  SetStep(0, StepLook::Done);

  AguardaIntervalo(1, 2500);
  std::map<std::string, long> notWritten;
  for (const auto& f : kPayload) {
    if (ExtraiArquivoRecurso(f.resource, JoinPath(strPastaInstalacao_, f.target)))
      EsqueceVersaoLocal(f.target);
    else
      notWritten[f.target] = lastWriteError_;
  }
  for (const char* control : kControlsToRegister) {
    const std::string path = JoinPath(strPastaInstalacao_, control);
    // Registering runs the file's code with administrator rights: only a file
    // this run wrote is trusted with that.
    if (const auto it = notWritten.find(control); it != notWritten.end()) {
      p_.view.MessageBoxOk(path + "\r\n" + std::to_string(it->second) +
                           " - O controle não foi registrado: o arquivo não foi gravado nesta instalação.");
      continue;
    }
    p_.platform.fVBRegServer(path, true);
  }
  SetStep(1, StepLook::Done);

  AguardaIntervalo(2, 3500);
  if (!p_.platform.VerificaSeWindowsNT()) {
    p_.view.MessageBoxOk("This program requires Windows NT/2000/XP");
    p_.view.CloseWindow();
    return;
  }
  p_.control.PastaService = strPastaInstalacao_;
  if (p_.control.PastaService.empty() || p_.control.PastaService.back() != '\\') p_.control.PastaService += "\\";
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);
  if (panel_.Labels(0).installCaption == kInstallService) p_.control.InstalarService(0);
  if (panel_.Labels(1).installCaption == kInstallService) p_.control.InstalarService(1);
  SetStep(2, StepLook::Done);

  AguardaIntervalo(3, 3500);
  if (panel_.Labels(0).startCaption == kStartService) p_.control.IniciarService(0);
  if (panel_.Labels(1).startCaption == kStartService) p_.control.IniciarService(1);
  SetStep(3, StepLook::Done);

  AguardaIntervalo(4, 3500);
  panel_.AtualizaStatusService(0);
  SetStep(4, panel_.Labels(0).startCaption == kStopService ? StepLook::Done : StepLook::Failed);

  AguardaIntervalo(5, 3500);
  panel_.AtualizaStatusService(1);
  SetStep(5, panel_.Labels(1).startCaption == kStopService ? StepLook::Done : StepLook::Failed);

  const std::string gui = JoinPath(strPastaInstalacao_, QUARN_GUI_MONITOR_STEM ".EXE");
  if (p_.fs.FileExists(gui)) p_.platform.StartHidden(gui);

  p_.view.ShowSuccessPanel();
  successShown_ = true;
  loadWin(false);
}

void FrmInstal::loadWin(bool vLoadWind) {
  if (vLoadWind) {
    p_.view.ShowLoadHost(true);
    // Only the file written in this run, unchanged, is started: never one that
    // was there before (a write that failed leaves the picture box empty).
    if (!loaderWritten_ || !p_.platform.StartWritten(LoaderPath(), p_.resources.Read(kLoaderResource))) return;
    // The program needs a moment to show its window: look again for a short while.
    const uint64_t start = p_.loop.TickMs();
    while (!p_.view.AdoptWindow(kLoaderTitle) && p_.loop.TickMs() - start < kLoaderWaitMs) p_.loop.Idle(kPollMs);
    return;
  }
  p_.view.ShowLoadHost(false);
  uint32_t id = p_.fecha.PegaIdProcesso(kLoaderFile);
  uintptr_t noWindow = 0;
  if (id != 0) p_.fecha.FechaProcesso(id, noWindow);
}

}  // namespace quarn
