#include "installer/status_panel.h"

namespace quarn {

void StatusPanel::AtualizaStatusService(int32_t index) {
  ctl_.SelecionarService(index);
  ServiceLabels& l = Labels(index);
  if (ctl_.LerContaService() != 0) {
    blnServiceInstalado = false;
    l.installCaption = kInstallService;
    l.startEnabled = false;
    l.installEnabled = true;
    return;
  }
  blnServiceInstalado = true;
  l.installCaption = kUninstallService;
  lngStatusService = ctl_.StatusService();
  if (lngStatusService == kServiceStopped) {
    l.installEnabled = true;
    l.startCaption = kStartService;
    l.startEnabled = true;
  } else if (lngStatusService == kServiceRunning) {
    l.installEnabled = false;
    l.startCaption = kStopService;
    l.startEnabled = true;
  } else {
    l.installEnabled = false;
    l.startEnabled = false;
  }
}

void StatusPanel::InstallClick(int32_t index) {
  AtualizaStatusService(index);
  ServiceLabels& l = Labels(index);
  if (!l.installEnabled) return;
  l.installEnabled = false;
  if (blnServiceInstalado) ctl_.RemoverService(index);
  else ctl_.InstalarService(index);
  AtualizaStatusService(index);
}

void StatusPanel::StartClick(int32_t index) {
  AtualizaStatusService(index);
  ServiceLabels& l = Labels(index);
  if (!l.startEnabled) return;
  l.startEnabled = false;
  if (lngStatusService == kServiceRunning) ctl_.PararService(index);
  else if (lngStatusService == kServiceStopped) ctl_.IniciarService(index);
  AtualizaStatusService(index);
}

}  // namespace quarn
