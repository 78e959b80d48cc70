#include "installer/status_panel.h"

namespace quarn {

void StatusPanel::AtualizaStatusService(int32_t index) {
  ctl_.SelecionarService(index);
  ServiceLabels& l = Labels(index);
  blnServiceInstalado = ctl_.LerContaService() == 0;
  if (blnServiceInstalado) lngStatusService = ctl_.StatusService();
  const PanelLabels now = PanelLabelsFor(blnServiceInstalado, lngStatusService);
  l.installCaption = now.installCaption;
  l.installEnabled = now.installEnabled;
  if (now.startCaption) l.startCaption = now.startCaption;
  l.startEnabled = now.startEnabled;
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
