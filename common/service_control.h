#pragma once
// mdlNTServiceControl: create, remove, start, stop and query the suite's
// services. Results are 0 or the Windows error code of the call that failed,
// and none may be dropped unseen: a caller that means to go on whatever the
// result says so where it calls, and discards it with (void).
#include <cstdint>
#include <optional>
#include <string>

#include "common/suite_files.h"

namespace quarn {

// Service states as the service manager reports them; 0: not installed or unreadable.
enum ServiceState : int32_t {
  kServiceUnknown = 0,
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

struct ServiceSpec {
  std::string name;
  std::string displayName;
  std::string programPath;  // as it is to be registered (quoted when needed)
  std::string account;
  std::optional<std::string> password;  // none: no password passed at all
};

// One operation per call on the local service manager; no handle outlives a call.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  [[nodiscard]] virtual int32_t Status(const std::string& name) = 0;
  // Reads the service's start name; leaves `account` alone on failure.
  [[nodiscard]] virtual int32_t ReadAccount(const std::string& name, std::string& account) = 0;
  [[nodiscard]] virtual int32_t Create(const ServiceSpec& wanted) = 0;
  // Sends a stop (its outcome ignored), then deletes.
  [[nodiscard]] virtual int32_t Remove(const std::string& name) = 0;
  [[nodiscard]] virtual int32_t Start(const std::string& name) = 0;
  // Sends the stop control; does not wait for the stopped state.
  [[nodiscard]] virtual int32_t Stop(const std::string& name) = 0;
  // True when an administrator has disabled the service; false when that cannot be read.
  [[nodiscard]] virtual bool Disabled(const std::string& name) = 0;
  // The process the manager runs the service in: 0 when none runs; none when
  // that cannot be read (no sample, rather than a process taken for gone).
  [[nodiscard]] virtual std::optional<uint32_t> ProcessId(const std::string& name) = 0;
  // The logon domain of the user running the program, or empty.
  virtual std::string LogonDomain() = 0;
};

// The account a service is created under: "LocalSystem" (exactly) and names
// holding a backslash stay as they are; others get the logon domain, or ".".
bool AccountNeedsDomain(const std::string& account);
std::string QualifyAccount(const std::string& account, const std::string& logonDomain);

// A program path for the service manager: folder + file (the file alone when
// there is no folder), quoted when it holds a space so that no prefix of it can
// be taken for the program. Every service the suite creates gets its path here.
std::string ServiceProgramPath(const std::string& folder, const std::string& file);

// The service panel's labels, shared by the monitor's window and the installer.
inline constexpr char kInstallService[] = "Install Service";
inline constexpr char kUninstallService[] = "Uninstall Service";
inline constexpr char kStartService[] = "Start Service";
inline constexpr char kStopService[] = "Stop Service";

// What a service's state makes of the install and start labels. A null start
// caption keeps what the label showed (a missing service, a state in between):
// the watchdog reads a kept "Stop Service" as "leave it alone".
struct PanelLabels {
  const char* installCaption;
  bool installEnabled;
  const char* startCaption;
  bool startEnabled;
};
PanelLabels PanelLabelsFor(bool installed, int32_t state);

// The installer's variant: services chosen by index (0 backup service, 1 monitor).
class InstallerServiceControl {
 public:
  explicit InstallerServiceControl(ServiceManager& scm) : scm_(scm) {}

  void SelecionarService(int32_t index);
  [[nodiscard]] int32_t StatusService();
  [[nodiscard]] int32_t LerContaService();
  [[nodiscard]] int32_t InstalarService(int32_t index);
  [[nodiscard]] int32_t RemoverService(int32_t index);
  [[nodiscard]] int32_t IniciarService(int32_t index);
  [[nodiscard]] int32_t PararService(int32_t index);
  std::string DominioUsuario() { return scm_.LogonDomain(); }

  std::string NomeService;
  std::string NomeExibicao;
  std::string ArquivoService;
  std::string PastaService;  // ends in "\"
  std::string ContaService;

 private:
  ServiceManager& scm_;
};

// The monitor's variant: always the backup service; the account and password
// are the texts of the window's txtAccount and txtPassword.
class MonitorServiceControl {
 public:
  MonitorServiceControl(ServiceManager& scm, std::string& txtAccount, std::string& txtPassword,
                        std::string programFolder)
      : scm_(scm), txtAccount_(txtAccount), txtPassword_(txtPassword), folder_(std::move(programFolder)) {}

  [[nodiscard]] int32_t StatusService() { return scm_.Status(kBackupServiceName); }
  [[nodiscard]] int32_t LerContaService() { return scm_.ReadAccount(kBackupServiceName, txtAccount_); }
  [[nodiscard]] int32_t InstalarService();
  [[nodiscard]] int32_t RemoverService() { return scm_.Remove(kBackupServiceName); }
  [[nodiscard]] int32_t IniciarService() { return scm_.Start(kBackupServiceName); }
  [[nodiscard]] int32_t PararService() { return scm_.Stop(kBackupServiceName); }
  [[nodiscard]] bool Desativado() { return scm_.Disabled(kBackupServiceName); }
  [[nodiscard]] std::optional<uint32_t> ProcessoService() { return scm_.ProcessId(kBackupServiceName); }
  std::string DominioUsuario() { return scm_.LogonDomain(); }

  // One actor at a time on the backup service: the watchdog, the heartbeat's
  // restart and an update claim it before they stop or start the service, and
  // act on what they read once they hold it. On the window's one thread a claim
  // is held across waits that let events run: an event meanwhile finds it
  // taken and leaves the service to its holder. A claim made while another is
  // held holds nothing (Held() false).
  class Claim {
   public:
    explicit Claim(MonitorServiceControl& s) : s_(s), held_(!s.claimed_) { s_.claimed_ = true; }
    ~Claim() {
      if (held_) s_.claimed_ = false;
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    bool Held() const { return held_; }

   private:
    MonitorServiceControl& s_;
    bool held_;
  };
  bool Claimed() const { return claimed_; }

 private:
  bool claimed_ = false;
  ServiceManager& scm_;
  std::string& txtAccount_;
  std::string& txtPassword_;
  std::string folder_;  // the monitor's own folder: the backup service's program lies beside it
};

}  // namespace quarn
