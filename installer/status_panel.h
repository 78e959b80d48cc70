#pragma once
// The installer's service status panel: for each of the two services an
// install label and a start label whose captions are the installer's record
// of the services' state.
#include <cstdint>
#include <string>

#include "common/service_control.h"

namespace quarn {

struct ServiceLabels {
  std::string installCaption = kInstallService;
  bool installEnabled = true;
  std::string startCaption = kStartService;
  bool startEnabled = true;
};

class StatusPanel {
 public:
  explicit StatusPanel(InstallerServiceControl& ctl) : ctl_(ctl) {}

  void AtualizaStatusService(int32_t index);
  void lblInstallService_Click() { InstallClick(0); }
  void lblStartService_Click() { StartClick(0); }
  void lblInstallMonitorService_Click() { InstallClick(1); }
  void lblStartMonitorService_Click() { StartClick(1); }

  // Index 0: lblInstallService and lblStartService; 1: the monitor's pair.
  ServiceLabels& Labels(int32_t index) { return index == 0 ? service_ : monitor_; }

  bool blnServiceInstalado = false;
  int32_t lngStatusService = 0;

 private:
  void InstallClick(int32_t index);
  void StartClick(int32_t index);
  InstallerServiceControl& ctl_;
  ServiceLabels service_, monitor_;
};

}  // namespace quarn
