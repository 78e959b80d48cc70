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

// Each file is its own resource (resource names are matched without regard to case).
const PayloadFile kPayload[10] = {
    {kSuiteFiles[0], kSuiteFiles[0]}, {kSuiteFiles[1], kSuiteFiles[1]}, {kSuiteFiles[2], kSuiteFiles[2]},
    {kSuiteFiles[3], kSuiteFiles[3]}, {kSuiteFiles[4], kSuiteFiles[4]}, {kSuiteFiles[5], kSuiteFiles[5]},
    {kSuiteFiles[6], kSuiteFiles[6]}, {kSuiteFiles[7], kSuiteFiles[7]}, {kSuiteFiles[8], kSuiteFiles[8]},
    {kSuiteFiles[9], kSuiteFiles[9]},
};
static_assert(std::size(kSuiteFiles) == std::size(kPayload));

const char* const kStepCaptions[6] = {
    "Carregando Variaveis do Sistema.", "Extraindo Arquivos.",
    "Instalando Serviços do Quarn.",    "Iniciando Serviços.",
    "Quarn Service Iniciado.",          "Quarn Service Monitor Iniciado.",
};

namespace {

// "a, b, c": file names as the failure panel and the log name them.
template <class Names>
std::string Joined(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

}  // namespace

Verdict JulgaInstalacao(const InstallChecks& c) {
  Verdict v;
  auto fail = [&v](int code, std::string line) {
    if (v.exitCode == kExitOk) v.exitCode = code;
    v.failures.push_back(std::move(line));
  };
  if (!c.notWritten.empty()) fail(kExitFilesNotWritten, "Arquivos não gravados: " + Joined(c.notWritten) + ".");
  if (!c.notMoved.empty())
    fail(kExitFilesNotWritten,
         "Arquivos que não são do Quarn SQL e não puderam ser movidos: " + Joined(c.notMoved) + ".");
  if (!c.serviceRuns) fail(kExitServiceNotRunning, "O serviço QuarnSQLService não está em execução.");
  if (!c.monitorRuns) fail(kExitMonitorNotRunning, "O serviço QuarnSQLServiceMonitor não está em execução.");
  if (!c.guiStarted) fail(kExitGuiNotStarted, "O monitor QuarnSQLMonitor.EXE não foi iniciado.");
  if (!c.listed) fail(kExitNotListed, "O Quarn SQL não foi incluído na lista de programas instalados.");
  return v;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultLog) {
  CommandLine cl;
  cl.logPath = defaultLog;
  auto bad = [&cl](const std::string& why) {
    cl.ok = false;
    cl.error = why + " Use: InstaladorQuarnSQL.exe [/quiet] [/log <arquivo>] [/uninstall [/purge]]";
    return cl;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string s = a.size() > 1 && (a[0] == '/' || a[0] == '-') ? a.substr(1) : std::string();
    for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (s == "quiet" || s == "s") {
      cl.quiet = true;
    } else if (s == "uninstall") {
      cl.uninstall = true;
    } else if (s == "purge") {
      cl.purge = true;
    } else if (s == "log") {
      if (i + 1 == args.size() || args[i + 1].empty()) return bad("Falta o arquivo depois de " + a + ".");
      cl.logPath = args[++i];
    } else {
      return bad("Opção desconhecida: " + a + ".");
    }
  }
  if (cl.purge && !cl.uninstall) return bad("/purge só vale com /uninstall.");
  return cl;
}

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
  if (p_.platform.PrevInstance()) {
    exitCode_ = kExitAnotherCopy;
    return false;
  }
  p_.view.SetVersionLine(VersionLine(info_, p_.dates.GeneralDate(p_.fs.LastModified(SelfPath()))));
  for (int i = 0; i < 6; ++i) p_.view.SetStep(i, captions_[i], looks_[i]);
  p_.control.ContaService = "LocalSystem";

  // The animation runs with the installer's rights, so it is written only where
  // ordinary users cannot change it; on a volume without permissions there is
  // no such place and the picture box stays empty. A silent run shows none.
  if (!info_.quiet && p_.platform.KeepsPermissions(Drive() + ":\\")) {
    PreparaPastas();
    loaderWritten_ = ExtraiArquivoRecurso(kLoaderResource, LoaderPath());
  }
  loadWin(false);
  if (!info_.quiet) loadWin(true);

  if (!info_.quiet) p_.view.ShowWindow();
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
  if (keyCode == 13 && finished_) p_.platform.EndProgram();
  if (keyCode == 27) {
    if (!finished_) exitCode_ = kExitInterrupted;
    p_.platform.EndProgram();
  }
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

bool FrmInstal::PastaDoQuarn(const std::string& folder) {
  // Ours, or the suite's package's: both entries only administrators can write.
  for (std::string entry : {p_.platform.RegisteredLocation(), p_.platform.PackageLocation()}) {
    while (!entry.empty() && entry.back() == '\\') entry.pop_back();
    if (!entry.empty() && SameFileName(entry, folder)) return p_.platform.ProtectedAsLeft(folder);
  }
  return false;
}

std::string FrmInstal::Carimbo() const {
  const LocalTime t = p_.clock.Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return stamp;
}

void FrmInstal::TomaPosse(const std::string& folder, const std::vector<std::string>& names) {
  // A suite folder that is not the suite's own (no entry of ours names it, or
  // it is not closed as the installer leaves it) is used with nothing in it
  // but what the suite ships: whatever else its maker left there (a backup
  // copy, a journal, a library) goes, before anything runs, into a dated
  // folder beside it that only administrators may read. What cannot go keeps
  // every program from starting.
  const auto shipped = [](const std::string& name) {
    return SameFileName(name, kInstallerCopy) ||
           std::any_of(std::begin(kSuiteFiles), std::end(kSuiteFiles), [&](const char* f) { return SameFileName(name, f); });
  };
  std::vector<std::string> moved;
  for (const std::string& name : names) {
    if (shipped(name)) continue;  // written over, or checked before anything loads it
    try {
      if (takeoverAside_.empty()) {
        const std::string aside = AsideName(folder, Carimbo());
        p_.fs.CreateDir(aside);
        p_.platform.CloseToAdministrators(aside);
        takeoverAside_ = aside;
      }
      p_.platform.MoveAside(JoinPath(folder, name), JoinPath(takeoverAside_, name));
      moved.push_back(name);
    } catch (const VbError& e) {
      takeoverStuck_.push_back(name);
      p_.view.Note(JoinPath(folder, name) + " não pôde ser movido: " + std::to_string(e.Number()) + " - " +
                   e.Description() + ".");
    }
  }
  if (moved.empty()) return;
  // What was moved keeps the list it had: closed now, all of it.
  try {
    p_.platform.CloseToAdministrators(takeoverAside_);
  } catch (const VbError& e) {
    p_.view.Note(takeoverAside_ + ": " + std::to_string(e.Number()) + " - " + e.Description() + ".");
  }
  p_.view.Note(folder + " não era do Quarn SQL: " + Joined(moved) + " movidos para " + takeoverAside_ +
               ", que só administradores leem.");
}

std::unique_ptr<FileHold> FrmInstal::ProgramaIntacto(const PayloadFile& f) {
  try {
    return p_.platform.HoldUnchanged(JoinPath(strPastaInstalacao_, f.target), p_.resources.Read(f.resource));
  } catch (const VbError&) {
    return nullptr;  // no payload to compare with: nothing is trusted
  }
}

void FrmInstal::ConcedeLogs(int index) {
  // A service logging on as its own account has none of SYSTEM's rights in the
  // protected folder: it gets what it needs to write its heartbeat and
  // markers, in Logs\ only. The backup service gets its own files there and
  // no more: it could otherwise delete the monitor's records and journal.
  p_.control.SelecionarService(index);
  std::string account;
  std::swap(account, p_.control.ContaService);
  const bool found = p_.control.LerContaService() == 0;
  std::swap(account, p_.control.ContaService);
  if (!found || !NeedsOwnRights(account)) return;
  const std::string logs = JoinPath(strPastaInstalacao_, kLogsFolder);
  try {
    if (!p_.fs.DirExists(logs)) p_.fs.CreateDir(logs);
    if (index == 0)
      p_.platform.GrantOwnFiles(logs, account,
                                {JoinPath(logs, kServiceExecutingFile), JoinPath(logs, kServiceEmUsoFile),
                                 JoinPath(logs, kServiceUltimoBackupFile)});
    else
      p_.platform.GrantModify(logs, account);
    p_.view.Note(account + " pode gravar em " + logs + ".");
  } catch (const VbError& e) {
    p_.view.MessageBoxOk(logs + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
  }
}

std::string FrmInstal::NoPermissionsMessage(const std::string& drive) {
  return "A unidade " + drive +
         ": não guarda permissões de arquivos (FAT ou exFAT), e nela o Quarn SQL ficaria "
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

std::vector<std::string> FrmInstal::AcertaAtualizacoesPendentes() {
  std::vector<std::string> unsettled;
  const Cp1252Codec codec;  // the records are written again whole below, or forgotten
  static const std::pair<const char*, const char*> kPrograms[] = {{kBackupServiceName, kServiceVersionRecord},
                                                                  {kGuiMonitorName, kGuiVersionRecord}};
  for (const auto& entry : kPrograms) {
    const std::string program = entry.first;
    if (!SettlePendingUpdate(p_.fs, codec, strPastaInstalacao_, program, entry.second,
                             [&](const std::string& what, const VbError& e) {
                               p_.view.MessageBoxOk(program + " " + what + "\r\n" + std::to_string(e.Number()) + " - " +
                                                    e.Description());
                             },
                             [&](const std::string& path) { return p_.platform.Sha256(path); }))
      unsettled.push_back(program);
  }
  return unsettled;
}

void FrmInstal::AguardaIntervalo(int index, int ms) {
  SetStep(index, StepLook::Current);
  // The pauses are there for a person to read the steps; a silent run has none.
  if (info_.quiet) {
    p_.loop.DoEvents();
    return;
  }
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
  // The monitor first: it starts the backup service again the moment it sees
  // it stop.
  if (monitor.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    (void)p_.control.PararService(1);  // the wait below sees whether it stopped
  }
  if (service.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    (void)p_.control.PararService(0);  // likewise
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
    p_.view.Note(Joined(foreign) + ": não são os arquivos deste instalador; nenhum serviço é iniciado.");
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

void FrmInstal::StopAndWait(int index) {
  p_.control.SelecionarService(index);
  const int32_t state = p_.control.StatusService();
  if (state == kServiceStopped || state == kServiceUnknown) return;
  (void)p_.control.PararService(index);  // the wait below is bounded and reads the state itself
  WaitWhile([&] {
    p_.control.SelecionarService(index);
    const int32_t s = p_.control.StatusService();
    return s != kServiceStopped && s != kServiceUnknown;
  });
}

int FrmInstal::Desinstalar(bool purge) {
  if (p_.platform.PrevInstance()) return exitCode_ = kExitAnotherCopy;
  // The folder the suite's entry names, wherever this copy was started from;
  // with no entry left (a second removal), the suite folder on this copy's drive.
  strPastaInstalacao_ = p_.platform.RegisteredLocation();
  if (strPastaInstalacao_.empty()) strPastaInstalacao_ = Drive() + ":\\" + kMakerFolder + "\\" + kSuiteFolderName;
  strPastaTemp_ = strPastaInstalacao_ + "\\" + kInstallerTempFolder;
  p_.view.Note("Removendo o Quarn SQL Server de " + strPastaInstalacao_ + (purge ? " (com /purge)." : "."));
  std::vector<std::string> failures;
  int code = kExitOk;
  auto fail = [&](int c, std::string line) {
    if (code == kExitOk) code = c;
    p_.view.Note(line);
    failures.push_back(std::move(line));
  };
  // Only a suite folder: an entry that names a system folder or a drive's root
  // (damaged, or written by hand) would otherwise empty it.
  if (!IsSuiteFolderPath(strPastaInstalacao_)) {
    fail(kExitFilesNotRemoved, "A pasta " + strPastaInstalacao_ + " não é uma pasta do Quarn SQL (" + kMakerFolder +
                                   "\\" + kSuiteFolderName + "): nada foi removido.");
    p_.view.MessageBoxOk("O Quarn SQL Server não foi removido por completo:\r\n" + failures.front());
    return exitCode_ = code;
  }
  // Removing loads the controls found there, with administrator rights: only
  // from a folder still closed as the installer left it. Otherwise nothing is
  // touched; a repair closes it again, and the removal can follow.
  if (p_.fs.DirExists(strPastaInstalacao_) && !p_.platform.ProtectedAsLeft(strPastaInstalacao_)) {
    fail(kExitFilesNotRemoved, "A pasta " + strPastaInstalacao_ +
                                   " não está protegida como o instalador a deixou: nada foi removido. Execute o "
                                   "instalador para repará-la e depois remova.");
    p_.view.MessageBoxOk("O Quarn SQL Server não foi removido por completo:\r\n" + failures.front());
    return exitCode_ = code;
  }

  // The monitor first: while it runs it starts the backup service again.
  StopAndWait(1);
  StopAndWait(0);
  for (const char* exe : {kGuiMonitorFile, kBackupServiceFile, kMonitorServiceFile, kLoaderFile})
    EndIfRunning(exe, false);
  WaitWhile([&] {
    bool any = false;
    for (const char* exe : {kGuiMonitorFile, kBackupServiceFile, kMonitorServiceFile})
      if (Running(exe)) {
        any = true;
        EndIfRunning(exe, false);
      }
    return any;
  });
  auto exists = [&](int index) {
    p_.control.SelecionarService(index);
    std::string account;
    std::swap(account, p_.control.ContaService);
    const bool found = p_.control.LerContaService() == 0;
    std::swap(account, p_.control.ContaService);
    return found;
  };
  for (int index : {1, 0})
    if (exists(index)) (void)p_.control.RemoverService(index);  // the wait and the verdict look again
  WaitWhile([&] { return exists(0) || exists(1); });
  for (int index : {0, 1})
    if (exists(index))
      fail(kExitServiceNotRemoved,
           std::string("O serviço ") + (index == 0 ? kBackupServiceName : kMonitorServiceName) + " não foi removido.");

  // With a service left, the program files stay: the suite can still be removed later.
  if (code == kExitOk) {
    p_.view.Note("Serviços removidos.");
    for (const char* control : kControlsToRegister) {
      const std::string path = JoinPath(strPastaInstalacao_, control);
      if (!p_.fs.FileExists(path)) continue;
      if (p_.platform.ProtectedAsLeft(path))
        p_.platform.fVBRegServer(path, false);
      else
        p_.view.Note(path + " não está protegido como o instalador o deixou: não foi carregado.");
    }
    for (const auto& f : kPayload) {
      const std::string path = JoinPath(strPastaInstalacao_, f.target);
      try {
        if (p_.fs.FileExists(path)) p_.fs.Delete(path);
      } catch (const VbError&) {
      }
      if (p_.fs.FileExists(path)) fail(kExitFilesNotRemoved, std::string("Arquivo não removido: ") + f.target + ".");
    }
    // The loading animation, and the monitor's downloads and staged builds.
    if (!p_.platform.RemoveTree(strPastaTemp_))
      fail(kExitFilesNotRemoved, "Pasta não removida: " + strPastaTemp_ + ".");
    if (purge && !p_.platform.RemoveTree(strPastaInstalacao_))
      fail(kExitFilesNotRemoved, "Pasta não removida: " + strPastaInstalacao_ + ".");
  }
  if (code == kExitOk && !p_.platform.RemoveChave(kControlesKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kControlesKey + ".");
  if (code == kExitOk && !p_.platform.RemoveChave(kEventSourceKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kEventSourceKey + ".");
  // The copy that the list of installed programs runs goes last, with its entry:
  // while anything is left, both stay so that the removal can be run again.
  if (code == kExitOk) {
    const std::string copy = JoinPath(strPastaInstalacao_, kInstallerCopy);
    bool gone = !p_.fs.FileExists(copy);
    if (!gone && LowerCase(copy) == LowerCase(SelfPath())) {
      gone = p_.platform.RemoveSelf(copy);
    } else if (!gone) {
      try {
        p_.fs.Delete(copy);
      } catch (const VbError&) {
      }
      gone = !p_.fs.FileExists(copy);
    }
    if (!gone) fail(kExitFilesNotRemoved, std::string("Arquivo não removido: ") + kInstallerCopy + ".");
  }
  if (code == kExitOk && !p_.platform.RemoveChave(kUninstallKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kUninstallKey + ".");
  const bool kept = p_.fs.DirExists(JoinPath(strPastaInstalacao_, kLogsFolder)) ||
                    (p_.fs.DirExists(strPastaInstalacao_) && !p_.fs.ListFiles(strPastaInstalacao_).empty());
  if (code == kExitOk && !kept) {
    // Folders left empty go; \Solvane is refused by the system while it holds anything else.
    for (const std::string& dir : {strPastaInstalacao_, Drive() + ":\\" + kMakerFolder}) {
      try {
        if (p_.fs.DirExists(dir)) p_.fs.RemoveDir(dir);
      } catch (const VbError&) {
      }
    }
  }

  std::string text;
  if (code == kExitOk) {
    text = "Quarn SQL Server removido.";
    if (kept) text += " Os registros e os dados do serviço foram mantidos em " + strPastaInstalacao_ + ".";
  } else {
    text = "O Quarn SQL Server não foi removido por completo:";
    for (const auto& f : failures) text += "\r\n" + f;
  }
  p_.view.MessageBoxOk(text);
  return exitCode_ = code;
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
