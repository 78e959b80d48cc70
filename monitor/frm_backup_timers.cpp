// frmBackup's watchdog, update timer and service panel.
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
  observer_->BackupServiceState(p_.panel.ServiceInstalado ? p_.panel.EstadoService : kServiceUnknown);
  int32_t started = -1;
  if (p_.panel.lblStartCaption == kStartService) {
    started = p_.service.IniciarService();
    observer_->WatchdogStartedService();
  }
  if (!notifyArmed_) ArmServiceNotification(started);
}

void FrmBackup::ArmServiceNotification(int32_t started) {
  if (!notifications_ || unloaded_) return;
  // A service that stays stopped would be told at once, again and again: the
  // timer arms once a start has been taken.
  if (p_.panel.ServiceInstalado && p_.panel.EstadoService == kServiceStopped && started != 0) return;
  const int32_t r = notifications_->Arm(kBackupServiceName, [this] { OnServiceChange(); });
  notifyArmed_ = r == 0;
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
  // restart while that runs: the timer re-arms when it is back.
  if (unloaded_ || !TimerCheckService_->Enabled() || inHeartbeat_) return;
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

void FrmBackup::Timer1_Timer() {
  ++ContadorAtualizacao_;
  if (ContadorExecutando_ < INT16_MAX) ++ContadorExecutando_;
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
        f.ContadorAtualizacao_ = 0;  // done or failed, the next check comes in three hours
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
