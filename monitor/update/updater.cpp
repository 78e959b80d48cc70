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

namespace {
using update_parts::Busy;
using update_parts::Paths;

std::string ErrorText(const VbError& e) { return std::to_string(e.Number()) + "-" + e.Description(); }

void EmptyFolder(FileSystem& fs, const std::string& folder) {
  if (!fs.DirExists(folder)) {
    fs.CreateDir(folder);
    return;
  }
  for (const auto& f : fs.ListFiles(folder)) fs.Delete(JoinPath(folder, f));
}

// Whatever way an update or a recovery is left (a report that cannot be
// written, a failed rollback, a stop), the watchdog is on again and the
// backup service it stopped has been asked to start. Nothing here waits or
// lets events run: a stop-pending service is the watchdog's next tick's work.
// Armed, it holds the claim on the backup service until then.
class BackOn {
 public:
  BackOn(Timer& watchdog, MonitorServiceControl& service) : watchdog_(watchdog), service_(service) {}
  BackOn(const BackOn&) = delete;
  BackOn& operator=(const BackOn&) = delete;
  void Arm() {
    armed_ = true;
    if (!claim_) claim_.emplace(service_);
  }
  ~BackOn() {
    if (!armed_) return;
    try {
      if (service_.StatusService() != kServiceRunning) (void)service_.IniciarService();  // best effort, on the way out
    } catch (...) {
      // The watchdog below starts it.
    }
    watchdog_.SetEnabled(true);
  }

 private:
  Timer& watchdog_;
  MonitorServiceControl& service_;
  bool armed_ = false;
  std::optional<MonitorServiceControl::Claim> claim_;
};

// A refusal of the signed path: it goes to the error log as well.
VbError RecordTooLarge(uint64_t size) {
  return Raise(kErrBadFileFormat, "registro de versão de " + std::to_string(size) + " bytes (máximo " +
                                      std::to_string(kMaxRecordBytes) + ")");
}

bool SecurityRefusal(const VbError& e) { return e.Number() >= kErrManifestMissing && e.Number() <= kErrJournalInvalid; }

}  // namespace

const Updater::Program& Updater::ProgramFor(const std::string& name) {
  static const Program service{kBackupServiceName,
                               kServiceVersionRecord,
                               kServiceVersionArchive,
                               "VersaoQuarnSQLService.Local: ",
                               "VersaoQuarnSQLService.Net: ",
                               "Verificando atualizações disponíveis para o Serviço QuarnSQlService.",
                               "VersaoQuarnSQLService",
                               &Updater::VLocalService,
                               &Updater::VNetService,
                               true};
  static const Program monitor{kGuiMonitorName,
                               kGuiVersionRecord,
                               kGuiVersionArchive,
                               "VersaoQuarnSqlMonitor.Local: ",
                               "VersaoQuarnSqlMonitorEXE.Net: ",
                               "Verificando atualizações disponíveis para o QuarnSqlMonitor.",
                               "VersaoQuarnSqlMonitor",
                               &Updater::VLocalExe,
                               &Updater::VNetExe,
                               false};
  return name == service.name ? service : monitor;
}

std::string TrimSpaces(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string RecordLine(std::string_view bytes, bool last) {
  if (bytes.size() > kMaxRecordBytes) throw RecordTooLarge(bytes.size());
  const auto lines = SplitLines(bytes);
  if (lines.empty()) {
    if (!last) throw Raise(kErrPastEnd);  // a server's record names a version
    return {};
  }
  const std::string& line = last ? lines.back() : lines.front();
  if (line.size() > kMaxRecordLineBytes) {
    std::string quote = line.substr(0, kRecordQuoteBytes);
    for (char& c : quote)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    throw Raise(kErrBadFileFormat, "linha do registro de versão de " + std::to_string(line.size()) +
                                       " bytes (máximo " + std::to_string(kMaxRecordLineBytes) + "): \"" +
                                       Cp1252Codec().FromAnsi(quote) + "\"...");
  }
  return Cp1252Codec().FromAnsi(line);
}

int32_t ParseContentLength(const std::string& text) {
  const std::string t = TrimSpaces(text);
  size_t i = 0;
  if (i < t.size() && t[i] == '+') ++i;
  if (i == t.size()) throw Raise(kErrTypeMismatch);
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw Raise(kErrTypeMismatch);
    value = value * 10 + (t[i] - '0');
    if (value > INT32_MAX) throw Raise(kErrOverflow);
  }
  return static_cast<int32_t>(value);
}

bool PrecisaAtualizar(const std::string& local, const std::string& net) {
  return local != kVersionError && net != kVersionError && local != net;
}

bool IsWindowsProgram(std::string_view b) {
  auto u16 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
  };
  if (b.size() < 0x40 || b.substr(0, 2) != "MZ") return false;
  const uint32_t pe = u16(0x3C) | u16(0x3E) << 16;
  if (pe > b.size() || b.size() - pe < 26 || b.substr(pe, 4) != std::string_view("PE\0\0", 4)) return false;
  const uint32_t characteristics = u16(pe + 22), magic = u16(pe + 24);
  constexpr uint32_t kExecutable = 0x0002, kDll = 0x2000;
  return (characteristics & kExecutable) && !(characteristics & kDll) && (magic == 0x10b || magic == 0x20b);
}

Updater::Updater(UpdaterPorts ports, std::string appPath, MonitorLogs& logs, Timer& watchdog, std::string pastaTemp,
                 BuildVerifier* verifier, UpdateObserver* observer)
    : p_(ports),
      app_(std::move(appPath)),
      logs_(logs),
      watchdog_(watchdog),
      temp_(std::move(pastaTemp)),
      verifier_(verifier),
      observer_(observer ? observer : &UpdateObserver::None()) {
  probationTimer_ = p_.loop.CreateTimer(kProbationTickMs, [this] { AcompanhaProvacao(); });
  probationTimer_->SetEnabled(false);
}

Updater::~Updater() = default;

std::string Updater::LocalRecordPath(const Program& prog) const {
  return JoinPath(LogsFolderOf(app_), prog.recordFile);
}

// ---- extraction ----------------------------------------------------------------

int32_t Updater::DesCompacta(const std::string& archive, const std::string& include, const std::string& target,
                             bool restoreStructure) {
  try {
    p_.unzip.addUNZIP_Overwrite(11);
    p_.unzip.addUNZIP_ArchiveName(archive);
    p_.unzip.addUNZIP_Include(include);
    p_.unzip.addUNZIP_ExtractTo(target);
    p_.unzip.addUNZIP_RestoreStructure(restoreStructure ? -1 : 0);
    // A big build unpacks while the window keeps running its events; the
    // library is never left writing after the monitor has gone on.
    p_.unzip.Start();
    try {
      while (!p_.unzip.Finished()) Wait(kTransferPollMs);
    } catch (...) {
      p_.unzip.Join();
      throw;
    }
    const int32_t result = p_.unzip.Result();
    if (result < SHRT_MIN || result > SHRT_MAX) throw Raise(kErrOverflow);
    return result;
  } catch (const VbError& e) {
    Report("DesCompacta" + include + " " + ErrorText(e), kCorVermelha);
    logs_.SalvaLogErro("DesCompacta " + include + " " + ErrorText(e));
  }
  return -1;
}

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
