#include "monitor/frm_backup.h"

#include "monitor/update/rollout.h"

#include <algorithm>

namespace quarn {

FrmBackup::FrmBackup(MonitorPorts ports, ProgramInfo info)
    : p_(ports),
      info_(std::move(info)),
      logs_(LogContext{ports.fs, ports.codec, ports.clock, ports.dates, info_.appPath}) {
  backoff_ = StartBackoff(info_.crashLoopRecoveredMs);
  p_.host.ServiceName = kMonitorServiceName;
  p_.host.DisplayName = "Simple Service";
  p_.host.StartMode = svcStartAutomatic;
  // Both timers run from the moment the window loads.
  Timer1_ = p_.loop.CreateTimer(info_.timer1IntervalMs, [this] { Timer1_Timer(); });
  TimerCheckService_ = p_.loop.CreateTimer(info_.watchdogIntervalMs, [this] { TimerCheckService_Timer(); });
  Timer1_->SetEnabled(true);
  TimerCheckService_->SetEnabled(true);
  EventTick_ = p_.loop.CreateTimer(static_cast<int>(kMinEventTickSpacingMs), [this] { EventTick_Timer(); });
  BackoffTick_ = p_.loop.CreateTimer(kQuickRetryMs, [this] { BackoffTick_Timer(); });
  watchdogIntervalNow_ = info_.watchdogIntervalMs;
}

FrmBackup::~FrmBackup() = default;

std::string FrmBackup::VersionLine(const ProgramInfo& info, const std::string& fileDate) {
  std::string line = "Sistema Quarn SQL Service Monitor - versão revisada: ";
  line += std::to_string(info.major) + "." + std::to_string(info.minor) + "." + std::to_string(info.revision);
  line += " de " + fileDate + ", iniciando em ";
  line += LowerCase(info.appPath) + "\\" + LowerCase(info.exeName) + ".exe";
  return line;
}

void FrmBackup::WriteLine(std::string_view fileName, const std::string& line) {
  ReplaceFile(p_.fs, JoinPath(LogsFolder(), fileName), p_.codec.ToAnsi(line + std::string(kCrLf)));
}

bool FrmBackup::WriteStartupFiles() {
  try {
    if (!p_.fs.DirExists(PastaTemp_)) p_.fs.CreateDir(PastaTemp_);
    if (!p_.fs.DirExists(LogsFolder())) p_.fs.CreateDir(LogsFolder());
    WriteLine(kVersaoFile, std::to_string(info_.revision));
    WriteLine(kMonitorExecutingFile, p_.dates.GeneralDate(p_.clock.Now()));
    const std::string programFile = JoinPath(info_.appPath, info_.exeName + ".exe");
    std::string fileDate;
    try {
      fileDate = p_.dates.GeneralDate(p_.fs.LastModified(programFile));
    } catch (const VbError&) {
      ReplaceFile(p_.fs, JoinPath(LogsFolder(), kVersaoCompletaFile), {});  // no date: the line stays empty
      throw;
    }
    WriteLine(kVersaoCompletaFile, VersionLine(info_, fileDate));
    startupFaultLogged_ = false;
    return true;
  } catch (const VbError& e) {
    // Held open by another program, a Logs folder that cannot be made: the
    // monitor starts all the same, and a later tick writes them.
    if (!startupFaultLogged_) {
      startupFaultLogged_ = true;
      try {
        ErrorBlock(" | Form_Load | ", e);
      } catch (const VbError&) {
        // The event log has it.
      }
    }
    return false;
  }
}

bool FrmBackup::Form_Load() {
  if (p_.shell.PrevInstance()) return false;
  if (!LoadService()) return false;
  p_.shell.HideFromTaskList();
  LimiteAtualizacao_ = 10800;
  ArmServiceNotification(-1);

  PastaTemp_ = TempFolderOf(info_.appPath);
  startupFilesPending_ = !WriteStartupFiles();
  p_.observer.LogsReady();

  Timer1_->SetEnabled(false);
  // Events already waiting (the service manager's start among them) run before
  // the first check, so that the start cannot delete the reports it writes.
  p_.loop.DoEvents();
  // A marker that cannot be written is reported as the timers' faults are;
  // the checks run all the same (they report their own).
  try {
    EsperaOutroService();
    p_.markers.EstouEmUso(true);
  } catch (const VbError& e) {
    TimerFault(e);
  }
  if (const uint32_t delayMs = StartDelayMs()) {
    // The first check waits its random share of the start delay, counted by
    // the update timer as every later one is; a cut update is not left so long.
    p_.updates.RecuperaPendentes();
    ContadorAtualizacao_ =
        LimiteAtualizacao_ -
        static_cast<int32_t>((delayMs + info_.timer1IntervalMs - 1) / std::max(info_.timer1IntervalMs, 1));
  } else {
    p_.updates.VerificarSeTemAtualService();
    p_.updates.VerificarSeTemAtualExe();
    ScheduleNextCheck();
  }
  try {
    p_.markers.EstouEmUso(false);
  } catch (const VbError& e) {
    TimerFault(e);
  }
  Timer1_->SetEnabled(true);
  return true;
}

uint32_t FrmBackup::StartDelayMs() const {
  return static_cast<uint32_t>(FirstCheckDelayMs(info_.startDelaySeconds, info_.random));
}

void FrmBackup::ScheduleNextCheck() {
  // Three hours from now, give or take a tenth at random.
  ContadorAtualizacao_ = CounterAfterCheck(LimiteAtualizacao_, info_.random);
  // A server under load that asked for a later try gets it, counted in this
  // timer's ticks; one that asks for a sooner one gets the regular schedule.
  if (const auto wait = p_.updates.ServerWaitMs()) {
    const uint64_t ticks = (*wait + info_.timer1IntervalMs - 1) / std::max(info_.timer1IntervalMs, 1);
    ContadorAtualizacao_ = std::min(ContadorAtualizacao_,
                                    LimiteAtualizacao_ - static_cast<int32_t>(std::min<uint64_t>(ticks, INT32_MAX / 2)));
  }
}

void FrmBackup::EsperaOutroService() {
  const uint64_t start = p_.loop.TickMs();
  while (p_.markers.OutroServiceEmUso()) {
    if (p_.loop.TickMs() - start >= kEmUsoWaitMs) {
      const std::string text = std::string("Espera pelo ") + kServiceEmUsoFile + " encerrada após " +
                               std::to_string(kEmUsoWaitMs / 60000) + " minutos; a verificação segue.";
      p_.observer.MarkerWaitGivenUp(kServiceEmUsoFile, static_cast<int64_t>(kEmUsoWaitMs / 60000));
      try {
        logs_.FormataRichTextBox(text, kCorVermelha, false);
        logs_.SalvaLogErro(text);
      } catch (const VbError&) {
        // The wait ends all the same.
      }
      return;
    }
    p_.loop.Idle(kPollMs);
  }
}

bool FrmBackup::LoadService() {
  try {
    if (info_.commandLine == "-install") {
      p_.host.Interactive = false;
      p_.host.Install();
    } else if (info_.commandLine == "-uninstall") {
      p_.host.Uninstall();
      return false;
    }
  } catch (const VbError& e) {
    // A removal that fails is reported; the program then starts as usual,
    // connection to the service manager included.
    ErrorBlock(" | LoadService | ", e);
  }
  try {
    p_.host.ControlsAccepted = svcCtrlPauseContinue;
    p_.host.StartService();
  } catch (const VbError& e) {
    ErrorBlock(" | LoadService | ", e);
  }
  return true;
}

void FrmBackup::ErrorBlock(std::string_view label, const VbError& e, int32_t eventId) {
  const std::string number = std::to_string(e.Number());
  p_.host.LogEvent(svcEventError, eventId, "[" + number + "] " + e.Description());
  logs_.SalvaLogErro(p_.dates.GeneralDate(p_.clock.Now()) + std::string(label) + number + " - " + e.Description());
}

void FrmBackup::DeleteFormattedLog() {
  const std::string path = logs_.FormattedLogPath();
  if (p_.fs.FileExists(path)) p_.fs.Delete(path);
}

void FrmBackup::NTService1_Start(bool& Success) {
  try {
    Success = true;
    DeleteFormattedLog();
    p_.observer.MonitorStarted();
    if (info_.trustsTestKey) {
      p_.host.LogEvent(svcEventWarning, kEventTestKey, kTestKeyNotice);
      logs_.SalvaLogGeral(kTestKeyNotice, kCorVermelha, false);
    }
  } catch (const VbError& e) {
    ErrorBlock(" | Service Start | ", e);
  }
}

void FrmBackup::NTService1_Stop() {
  // A stop request always ends the program: a formatted log held open by a
  // reader is reported, never a reason to leave the service stuck stopping.
  p_.observer.MonitorStopping();
  try {
    DeleteFormattedLog();
  } catch (const VbError& e) {
    ErrorBlock(" | Service Stop | ", e);
  }
  try {
    Unload();
  } catch (const VbError& e) {
    ErrorBlock(" | Service Stop | ", e);
  }
}

void FrmBackup::NTService1_Pause(bool& Success) {
  try {
    p_.host.LogEvent(svcEventError, svcMessageError, "Service paused");
    Success = true;
  } catch (const VbError& e) {
    ErrorBlock(" | Service Pause | ", e);
  }
}

void FrmBackup::NTService1_Continue(bool& Success) {
  try {
    Success = true;
    p_.host.LogEvent(svcEventInformation, svcMessageInfo, "Service continued");
  } catch (const VbError& e) {
    ErrorBlock(" | Service Continue | ", e);
  }
}

void FrmBackup::Form_Unload(int& /*Cancel*/) { DeleteFormattedLog(); }

void FrmBackup::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  Timer1_->SetEnabled(false);
  TimerCheckService_->SetEnabled(false);
  EventTick_->SetEnabled(false);
  BackoffTick_->SetEnabled(false);
  p_.shell.EndProgram();  // the program ends even when the unload handler fails
  int cancel = 0;
  Form_Unload(cancel);
}

}  // namespace quarn
