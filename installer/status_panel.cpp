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
  // A click's outcome is what the labels show when they are read again below.
  if (blnServiceInstalado)
    (void)ctl_.RemoverService(index);
  else
    (void)ctl_.InstalarService(index);
  AtualizaStatusService(index);
}

void StatusPanel::StartClick(int32_t index) {
  AtualizaStatusService(index);
  ServiceLabels& l = Labels(index);
  if (!l.startEnabled) return;
  l.startEnabled = false;
  // Likewise: the labels read again below show the outcome.
  if (lngStatusService == kServiceRunning)
    (void)ctl_.PararService(index);
  else if (lngStatusService == kServiceStopped)
    (void)ctl_.IniciarService(index);
  AtualizaStatusService(index);
}

}  // namespace quarn
