#include "common/service_control.h"

#include "common/ansi_text.h"

namespace quarn {

bool AccountNeedsDomain(const std::string& account) {
  return account != "LocalSystem" && account.find('\\') == std::string::npos;
}

std::string QualifyAccount(const std::string& account, const std::string& logonDomain) {
  if (!AccountNeedsDomain(account)) return account;
  return (logonDomain.empty() ? std::string(".") : logonDomain) + "\\" + account;
}

std::string ServiceProgramPath(const std::string& folder, const std::string& file) {
  const std::string path = folder.empty() ? file : JoinPath(folder, file);
  if (path.find(' ') == std::string::npos) return path;
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') return path;
  return "\"" + path + "\"";
}

PanelLabels PanelLabelsFor(bool installed, int32_t state) {
  if (!installed) return {kInstallService, true, nullptr, false};
  if (state == kServiceStopped) return {kUninstallService, true, kStartService, true};
  if (state == kServiceRunning) return {kUninstallService, false, kStopService, true};
  return {kUninstallService, false, nullptr, false};
}

void InstallerServiceControl::SelecionarService(int32_t index) {
  if (index == 0) {
    NomeService = NomeExibicao = kBackupServiceName;
    ArquivoService = kBackupServiceFile;
  } else if (index == 1) {
    NomeService = NomeExibicao = kMonitorServiceName;
    ArquivoService = kMonitorServiceFile;
  }
}

int32_t InstallerServiceControl::StatusService() { return scm_.Status(NomeService); }

int32_t InstallerServiceControl::LerContaService() { return scm_.ReadAccount(NomeService, ContaService); }

int32_t InstallerServiceControl::InstalarService(int32_t index) {
  SelecionarService(index);
  if (AccountNeedsDomain(ContaService)) ContaService = QualifyAccount(ContaService, DominioUsuario());
  return scm_.Create(ServiceSpec{NomeService, NomeExibicao, ServiceProgramPath(PastaService, ArquivoService),
                                 ContaService, std::nullopt});
}

int32_t InstallerServiceControl::RemoverService(int32_t index) {
  SelecionarService(index);
  return scm_.Remove(NomeService);
}

int32_t InstallerServiceControl::IniciarService(int32_t index) {
  SelecionarService(index);
  return scm_.Start(NomeService);
}

int32_t InstallerServiceControl::PararService(int32_t index) {
  SelecionarService(index);
  return scm_.Stop(NomeService);
}

int32_t MonitorServiceControl::InstalarService() {
  if (AccountNeedsDomain(txtAccount_)) txtAccount_ = QualifyAccount(txtAccount_, DominioUsuario());
  return scm_.Create(ServiceSpec{kBackupServiceName, kBackupServiceName,
                                 ServiceProgramPath(folder_, kBackupServiceFile), txtAccount_, txtPassword_});
}

}  // namespace quarn
