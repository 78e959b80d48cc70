#pragma once
// frmBackup: the service monitor's window, its start-up and its service events.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/ansi_text.h"
#include "common/errors.h"
#include "common/event_loop.h"
#include "common/file_system.h"
#include "common/time_text.h"
#include "common/service_control.h"
#include "common/service_notifications.h"
#include "common/suite_files.h"
#include "monitor/health_events.h"
#include "monitor/logs.h"
#include "monitor/markers.h"
#include "monitor/service_host.h"
#include "monitor/start_backoff.h"
#include "monitor/update/update_checks.h"
#include "monitor/version.h"

namespace quarn {

struct ProgramInfo {
  std::string appPath;      // folder of the running program, no trailing "\" but at a drive root
  std::string exeName;      // program file name without extension
  std::string commandLine;  // the whole argument text
  int major = QUARN_MONITOR_MAJOR, minor = QUARN_MONITOR_MINOR, revision = QUARN_MONITOR_REVISION;
  int timer1IntervalMs = 1000;    // shortened only in the test build of the program
  int watchdogIntervalMs = 1000;  // lengthened only in the test build, to show a restart came from a notification
  // The watchdog's poll while the service manager's word and the process's end
  // are both waited on: a backstop, no longer the way a stop is met.
  int watchdogBackstopMs = 5000;
  uint64_t crashLoopRecoveredMs = StartBackoff::kRecoveredAfterMs;  // shorter only in a test tree
  // Built trusting the build tree's own test key: anyone holding that file can
  // publish to it, so it says so at every start.
  bool trustsTestKey = false;
  // Checks spread in time, so that a fleet never asks at one moment: the
  // first after a start waits up to this long (UpdateStartDelaySeconds), and
  // every later one comes three hours on, give or take a tenth. `random(n)`
  // gives 0 to n - 1 from the platform's random source; without one, checks
  // keep the fixed schedule.
  uint32_t startDelaySeconds = 0;
  std::function<uint32_t(uint32_t)> random;
};

inline constexpr char kTestKeyNotice[] =
    "Chave de teste: este build aceita publicações da chave de teste de compilação";

// What the window asks of the platform around it.
class AppShell {
 public:
  virtual ~AppShell() = default;
  virtual bool PrevInstance() = 0;  // another copy already runs
  virtual void HideFromTaskList() = 0;
  virtual void EndProgram() = 0;  // after the window unloads: the program ends
};

// The service panel as plain state: the window shows it when there is one, and
// the watchdog decides from it (the caption of lblStart) with or without a window.
struct ServicePanel {
  std::string lblInstallCaption = kInstallService;
  bool lblInstallEnabled = true;
  std::string lblStartCaption = kStartService;
  bool lblStartEnabled = true;
  std::string txtAccount;
  bool txtAccountEnabled = true;
  std::string txtPassword;
  bool txtPasswordEnabled = true;
  int chkSystem = 0;
  bool chkSystemEnabled = true;
  bool ServiceInstalado = false;
  int32_t EstadoService = 0;
};

// The window's display of the panel.
class PanelView {
 public:
  virtual ~PanelView() = default;
  virtual void BeginUpdate() = 0;  // suspends drawing of the panel
  virtual void EndUpdate() = 0;    // shows the panel's state and draws again
  virtual void Show() = 0;
};

struct MonitorPorts {
  FileSystem& fs;
  const TextCodec& codec;
  Clock& clock;
  DateFormat& dates;
  EventLoop& loop;
  ServiceHost& host;
  AppShell& shell;
  RunStateMarkers& markers;
  UpdateChecks& updates;
  MonitorServiceControl& service;
  ServicePanel& panel;
  PanelView& view;
  // Whoever watches the service events and the watchdog (the event log, the metrics).
  MonitorObserver& observer = MonitorObserver::None();
  // The service manager's word that the backup service stopped, was deleted or
  // created, or that its process ended: the watchdog's tick runs at once, the
  // timer staying as a slower backstop. Without it the watchdog polls each second.
  ServiceChangeNotifications* notifications = nullptr;
};

class FrmBackup final : public ServiceEvents {
 public:
  // How long a wait on the in-use marker blocks for the next event between polls.
  static constexpr int kPollMs = 100;
  // No wait on the backup service's in-use marker lasts longer than a stale
  // marker would, measured on the monitor's own clock from the wait's start.
  static constexpr uint64_t kEmUsoWaitMs = 60ull * 60 * 1000;
  static constexpr int16_t kTicksPerHeartbeat = 1200;

  FrmBackup(MonitorPorts ports, ProgramInfo info);
  ~FrmBackup() override;

  // Returns false when the program must end at once (second copy, "-uninstall"):
  // then the window is never shown and its unload handler does not run.
  // Failures it does not handle are raised to the caller, which ends the program.
  bool Form_Load();
  void Form_Unload(int& Cancel);
  // Unloads the window: the unload handler runs, the timers stop, the program ends.
  void Unload();

  void NTService1_Start(bool& Success) override;
  void NTService1_Stop() override;
  void NTService1_Pause(bool& Success) override;
  void NTService1_Continue(bool& Success) override;

  // The watchdog and the update timer, and the panel's controls.
  void TimerCheckService_Timer();
  void Timer1_Timer();
  void VerificaStatusService();
  void lblInstall_Click();
  void lblStart_Click();
  void chkSystem_Click();
  void MnuAFB_Click() { p_.view.Show(); }

  void OnServiceChange();
  bool ServiceNotificationArmed() const { return notifyArmed_; }
  // Event-driven ticks are at least this far apart: a service that dies as it
  // starts is not restarted in a tight loop.
  static constexpr uint64_t kMinEventTickSpacingMs = 250;
  static constexpr int32_t kErrServiceMissing = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
  static constexpr int32_t kErrAlreadyRunning = 1056;  // ERROR_SERVICE_ALREADY_RUNNING
  static constexpr int32_t kErrServiceDisabled = 1058;
  static constexpr int32_t kErrMarkedForDelete = 1072;
  // A process that ended before the service manager noticed: its start is
  // refused as "already running" for a moment, and asked again this often, so many times.
  static constexpr int kQuickRetryMs = 20;
  static constexpr int kQuickRetries = 150;
  const StartBackoff& Backoff() const { return backoff_; }

  MonitorLogs& Logs() { return logs_; }
  int32_t ContadorAtualizacao() const { return ContadorAtualizacao_; }
  int16_t ContadorExecutando() const { return ContadorExecutando_; }
  const std::string& PastaTemp() const { return PastaTemp_; }
  int32_t LimiteAtualizacao() const { return LimiteAtualizacao_; }
  Timer& Timer1() { return *Timer1_; }
  Timer& TimerCheckService() { return *TimerCheckService_; }
  bool Unloaded() const { return unloaded_; }

  // The version line of VersaoCompletaServiceMonitor.ini.
  static std::string VersionLine(const ProgramInfo& info, const std::string& fileDate);

  // An error reported in the event log and the error log; the program's entry
  // uses it for the failures that end the program.
  void ErrorBlock(std::string_view label, const VbError& e, int32_t eventId = svcMessageError);

 private:
  bool LoadService();  // false: end the program at once
  void EsperaOutroService();
  // The update counter after a check: three hours give or take a tenth, or
  // later when the server asked.
  void ScheduleNextCheck();
  uint32_t StartDelayMs() const;  // the first check's wait, 0 for none
  void Timer1Work();
  // A file error of the timers' work: logged once, the Logs folder made
  // again, and the next tick tries again.
  void TimerFault(const VbError& e);
  bool timerFaultLogged_ = false;
  void WriteLine(std::string_view fileName, const std::string& line);
  std::string LogsFolder() const { return LogsFolderOf(info_.appPath); }
  void DeleteFormattedLog();
  // `started`: the tick's start request's result, -1 when none was asked.
  void ArmServiceNotification(int32_t started);
  void EventTick_Timer();  // a notification's tick held back by the spacing
  // Asks for the start unless the crash loop's patience holds it back; tells
  // whoever watches, and says in the log what changed.
  int32_t StartBackupService();  // -1 when none was asked
  void BackoffTick_Timer();       // a start held back by the crash loop's patience, or asked again shortly
  int watchdogIntervalNow_ = 0;
  void BackoffLog(const std::string& text, int32_t color);
  void WatchdogInterval();
  // Start-up's three files; false (reported once) while one cannot be written.
  bool WriteStartupFiles();
  bool startupFilesPending_ = false;
  int startupRetryIn_ = 1, startupRetryGap_ = 1;
  bool startupFaultLogged_ = false;
  StartBackoff backoff_;
  std::unique_ptr<Timer> BackoffTick_;
  int quickRetries_ = 0;
  int32_t armedState_ = kServiceUnknown;

  MonitorPorts p_;
  ProgramInfo info_;
  MonitorLogs logs_;
  std::string PastaTemp_;
  int32_t LimiteAtualizacao_ = 0;
  int32_t ContadorAtualizacao_ = 0;
  int16_t ContadorExecutando_ = 0;
  bool inHeartbeat_ = false;
  std::unique_ptr<Timer> Timer1_;
  std::unique_ptr<Timer> TimerCheckService_;
  std::unique_ptr<Timer> EventTick_;
  bool unloaded_ = false;
  bool notifyArmed_ = false;
  bool notifyFailureLogged_ = false;
  bool eventTickRan_ = false;
  uint64_t lastEventTickMs_ = 0;
};

}  // namespace quarn
