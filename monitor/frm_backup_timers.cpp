// frmBackup's watchdog, update timer and service panel.
#include <algorithm>

#include "monitor/frm_backup.h"

namespace quarn {

namespace {
struct DrawingSuspended {
  explicit DrawingSuspended(PanelView& v) : view(v) { view.BeginUpdate(); }
  ~DrawingSuspended() { view.EndUpdate(); }
  PanelView& view;
};
}  // namespace

void FrmBackup::VerificaStatusService() {
  ServicePanel& ui = p_.panel;
  DrawingSuspended lock(p_.view);
  ui.ServiceInstalado = p_.service.LerContaService() == 0;
  if (ui.ServiceInstalado) {
    ui.txtAccountEnabled = ui.txtPasswordEnabled = ui.chkSystemEnabled = false;
    ui.EstadoService = p_.service.StatusService();
  } else {
    ui.txtAccountEnabled = ui.txtPasswordEnabled = ui.chkSystem == 0;
    ui.chkSystemEnabled = true;
  }
  const PanelLabels l = PanelLabelsFor(ui.ServiceInstalado, ui.EstadoService);
  ui.lblInstallCaption = l.installCaption;
  ui.lblInstallEnabled = l.installEnabled;
  if (l.startCaption) ui.lblStartCaption = l.startCaption;
  ui.lblStartEnabled = l.startEnabled;
}

void FrmBackup::TimerCheckService_Timer() {
  VerificaStatusService();
  const int32_t state = p_.panel.ServiceInstalado ? p_.panel.EstadoService : kServiceUnknown;
  p_.observer.BackupServiceState(state);
  const uint64_t now = p_.loop.TickMs();
  if (state == kServiceRunning) {
    quickRetries_ = 0;
    if (backoff_.Running(now)) {
      const uint64_t ran = backoff_.RecoveredAfterMs() / 1000;
      BackoffLog("O " + std::string(kBackupServiceName) + " está em execução há " +
                     (ran % 60 == 0 ? std::to_string(ran / 60) + " minutos" : std::to_string(ran) + " s") +
                     ": os inícios voltam a ser imediatos (" + std::to_string(backoff_.LoopStarts()) +
                     " inícios enquanto parava).",
                 kCorAzul);
      p_.observer.CrashLoop(false, backoff_.LoopStarts());
      p_.observer.WatchdogBackoff(0, std::nullopt);
    }
  } else if (p_.panel.ServiceInstalado) {
    backoff_.NotRunning(now);
  }
  int32_t started = -1;
  // An update or the heartbeat's restart holding the service starts it itself.
  if (p_.panel.lblStartCaption == kStartService && !p_.service.Claimed()) started = StartBackupService();
  // Armed again once it runs: the process it runs in is watched from then.
  if (!notifyArmed_ || (armedState_ != kServiceRunning && state == kServiceRunning)) ArmServiceNotification(started);
  WatchdogInterval();
}

int32_t FrmBackup::StartBackupService() {
  const uint64_t now = p_.loop.TickMs();
  const uint64_t at = backoff_.StartAllowedAt(now);
  if (at > now) {
    // Patience with a crash loop: the start comes when its wait is over.
    if (!BackoffTick_->Enabled()) {
      BackoffTick_->SetInterval(static_cast<int>(at - now));
      BackoffTick_->SetEnabled(true);
      p_.observer.WatchdogBackoff(backoff_.DelayMs(), at - now);
    }
    return -1;
  }
  BackoffTick_->SetEnabled(false);
  const int32_t r = p_.service.IniciarService();
  if (r == kErrAlreadyRunning) {
    // Its process ended before the service manager noticed: asked again shortly.
    if (quickRetries_++ < kQuickRetries) {
      BackoffTick_->SetInterval(kQuickRetryMs);
      BackoffTick_->SetEnabled(true);
    }
    return r;
  }
  // A service missing, disabled or being removed starts nothing: no loop of its own.
  if (r == kErrServiceMissing || r == kErrServiceDisabled || r == kErrMarkedForDelete) return r;
  const StartBackoff::Change change = backoff_.Started(now);
  if (r != 0) backoff_.NotRunning(now);  // refused: down from now
  p_.observer.WatchdogStartedService(backoff_.StartsInWindow(), backoff_.InLoop());
  const std::string name = kBackupServiceName;
  if (change == StartBackoff::Change::kLoopBegan) {
    BackoffLog("O " + name + " parou logo depois de iniciar " + std::to_string(backoff_.LoopStarts()) +
                   " vezes em 10 minutos: cada novo início espera o dobro do anterior, de 1 s até 5 minutos.",
               kCorVermelha);
    p_.observer.CrashLoop(true, backoff_.LoopStarts());
  } else if (change == StartBackoff::Change::kDelayChanged) {
    BackoffLog("O " + name + " continua parando logo depois de iniciar: o próximo início espera " +
                   std::to_string(backoff_.DelayMs() / 1000) + " s.",
               kCorVermelha);
  }
  if (backoff_.InLoop()) p_.observer.WatchdogBackoff(backoff_.DelayMs(), std::nullopt);
  return r;
}

void FrmBackup::BackoffLog(const std::string& text, int32_t color) {
  try {
    logs_.FormataRichTextBox(text, color, false);
  } catch (const VbError&) {
    // The watchdog goes on; the event log and the metrics say it too.
  }
}

void FrmBackup::WatchdogInterval() {
  const int want =
      notifyArmed_ ? std::max(info_.watchdogBackstopMs, info_.watchdogIntervalMs) : info_.watchdogIntervalMs;
  if (want == watchdogIntervalNow_) return;
  watchdogIntervalNow_ = want;
  TimerCheckService_->SetInterval(want);
}

void FrmBackup::ArmServiceNotification(int32_t started) {
  if (!p_.notifications || unloaded_) return;
  // A service that stays stopped would be told at once, again and again: the
  // timer arms once a start has been taken.
  if (p_.panel.ServiceInstalado && p_.panel.EstadoService == kServiceStopped && started != 0) return;
  const int32_t r = p_.notifications->Arm(kBackupServiceName, [this] { OnServiceChange(); });
  notifyArmed_ = r == 0;
  armedState_ = p_.panel.ServiceInstalado ? p_.panel.EstadoService : kServiceUnknown;
  if (notifyArmed_) {
    notifyFailureLogged_ = false;
  } else if (!notifyFailureLogged_ && r != kErrServiceMissing) {
    // A missing service is only polled for, as ever (Wine cannot tell of a
    // service being created); one that exists and cannot be watched is logged.
    // Once for a run of failures; the timer tries again at every tick.
    notifyFailureLogged_ = true;
    try {
      ErrorBlock(" | TimerCheckService | ", VbError(r, "Aviso de parada do serviço " + std::string(kBackupServiceName) +
                                                           " indisponível; o watchdog verifica a cada segundo"));
    } catch (const VbError&) {
      // An error log that cannot be written never stops the watchdog.
    }
  }
}

void FrmBackup::OnServiceChange() {
  notifyArmed_ = false;
  // Held off while an update replaces the program, and left to the heartbeat's
  // restart while that runs: the poll, each second again, re-arms when it is back.
  if (unloaded_ || !TimerCheckService_->Enabled() || inHeartbeat_) {
    if (!unloaded_) WatchdogInterval();
    return;
  }
  const uint64_t now = p_.loop.TickMs();
  if (eventTickRan_ && now - lastEventTickMs_ < kMinEventTickSpacingMs) {
    EventTick_->SetEnabled(true);  // the tick comes when the spacing is over
    return;
  }
  eventTickRan_ = true;
  lastEventTickMs_ = now;
  TimerCheckService_Timer();
}

void FrmBackup::EventTick_Timer() {
  EventTick_->SetEnabled(false);
  if (unloaded_ || !TimerCheckService_->Enabled() || inHeartbeat_) return;
  eventTickRan_ = true;
  lastEventTickMs_ = p_.loop.TickMs();
  TimerCheckService_Timer();
}

void FrmBackup::BackoffTick_Timer() {
  BackoffTick_->SetEnabled(false);
  if (unloaded_ || !TimerCheckService_->Enabled()) return;  // the watchdog's own tick comes when it is back
  TimerCheckService_Timer();
}

void FrmBackup::Timer1_Timer() {
  ++ContadorAtualizacao_;
  if (ContadorExecutando_ < INT16_MAX) ++ContadorExecutando_;
  // Tried again after 1, 2, 4 … at most 60 ticks: a file held for good costs a write a minute.
  if (startupFilesPending_ && --startupRetryIn_ <= 0) {
    startupFilesPending_ = !WriteStartupFiles();
    startupRetryGap_ = std::min(startupRetryGap_ * 2, 60);
    startupRetryIn_ = startupRetryGap_;
  }
  // A tick that arrives while the heartbeat waits for the backup service only
  // counts: nothing starts inside the heartbeat, and nothing is lost.
  if (inHeartbeat_) return;
  try {
    Timer1Work();
    timerFaultLogged_ = false;
  } catch (const VbError& e) {
    TimerFault(e);
  }
}

void FrmBackup::Timer1Work() {
  if (ContadorAtualizacao_ >= LimiteAtualizacao_) {
    Timer1_->SetEnabled(false);
    // Whatever fails in between, the timer runs again and the marker goes.
    struct Resume {
      FrmBackup& f;
      ~Resume() {
        f.ScheduleNextCheck();  // done or failed, the next check comes in three hours
        f.Timer1_->SetEnabled(true);
        try {
          f.p_.markers.EstouEmUso(false);
        } catch (const VbError&) {
        }
      }
    } resume{*this};
    EsperaOutroService();
    p_.markers.EstouEmUso(true);
    p_.updates.VerificarSeTemAtualService();
    p_.updates.VerificarSeTemAtualExe();
  }

  if (ContadorExecutando_ >= kTicksPerHeartbeat) {
    inHeartbeat_ = true;
    struct Reset {
      FrmBackup& f;
      ~Reset() {
        f.inHeartbeat_ = false;
        try {
          f.p_.markers.EstouEmUso(false);
        } catch (const VbError&) {
        }
      }
    } reset{*this};
    p_.markers.EstouEmUso(true);
    p_.markers.VerificaSalvarExecutandoQuarn();
    ContadorExecutando_ = 0;  // after a failure the next tick tries again
  }
}

void FrmBackup::TimerFault(const VbError& e) {
  if (!timerFaultLogged_) {
    timerFaultLogged_ = true;
    const std::string text = "Timer1 " + std::to_string(e.Number()) + "-" + e.Description();
    p_.host.LogEvent(svcEventError, svcMessageError, text);
    try {
      logs_.SalvaLogErro(text);
    } catch (const VbError&) {
      // The event log has it.
    }
  }
  // A clean-up tool may have taken the Logs folder: it is made again for the next tick.
  try {
    if (!p_.fs.DirExists(LogsFolder())) p_.fs.CreateDir(LogsFolder());
  } catch (const VbError&) {
  }
}

void FrmBackup::lblInstall_Click() {
  VerificaStatusService();
  if (!p_.panel.lblInstallEnabled) return;
  p_.panel.lblInstallEnabled = false;
  // A click's outcome is what the panel shows when the state is read again below.
  if (!p_.panel.ServiceInstalado) {
    (void)p_.service.InstalarService();
    p_.panel.txtPassword.clear();
  } else {
    (void)p_.service.RemoverService();
  }
  VerificaStatusService();
}

void FrmBackup::lblStart_Click() {
  VerificaStatusService();
  if (!p_.panel.lblStartEnabled) return;
  p_.panel.lblStartEnabled = false;
  // Likewise.
  if (p_.panel.EstadoService == kServiceRunning) {
    (void)p_.service.PararService();
  } else if (p_.panel.EstadoService == kServiceStopped) {
    (void)p_.service.IniciarService();
  }
  VerificaStatusService();
}

void FrmBackup::chkSystem_Click() {
  ServicePanel& ui = p_.panel;
  DrawingSuspended lock(p_.view);
  if (ui.chkSystem != 0) {
    ui.txtAccount = "LocalSystem";
    ui.txtAccountEnabled = ui.txtPasswordEnabled = false;
  } else {
    ui.txtAccount.clear();
    ui.txtAccountEnabled = ui.txtPasswordEnabled = true;
  }
}

}  // namespace quarn
