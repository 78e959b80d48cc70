// The monitor's health: what the watchdog, the markers and the updater tell it,
// kept as the state the event log and the metrics show.
#include "monitor/health.h"

#include "common/errors.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "monitor/markers.h"
#include "monitor/update/updater.h"

namespace quarn {

MonitorHealth::MonitorHealth(HealthPorts ports, std::string appPath, std::string monitorVersion)
    : p_(std::move(ports)), app_(std::move(appPath)), monitorVersion_(std::move(monitorVersion)) {
  for (const char* name : {kMonitorServiceName, kBackupServiceName, kGuiMonitorName}) programs_.push_back({name});
  logs_.folder = LogsFolderOf(app_);
}

MonitorHealth::~MonitorHealth() = default;

void MonitorHealth::Start() {
  startUtc_ = p_.utcNow();
  timer_ = p_.loop.CreateTimer(kWriteIntervalMs, [this] { WriteMetrics(); });
  timer_->SetEnabled(true);
  WriteMetrics();
}

ProgramHealth& MonitorHealth::Program(const std::string& name) {
  for (auto& p : programs_)
    if (p.program == name) return p;
  programs_.push_back({name});
  return programs_.back();
}

void MonitorHealth::Event(int32_t type, int32_t id, const std::string& text) {
  try {
    p_.host.LogEvent(type, id, text);
  } catch (const VbError&) {
    // The event log is a window on the monitor, never a reason to stop it.
  }
}

void MonitorHealth::SetPublicationValidUntil(const std::string& program, std::optional<int64_t> utcSeconds) {
  Program(program).validUntilUtc = utcSeconds;
}

void MonitorHealth::MonitorStarted() {
  Event(svcEventInformation, kEventMonitorStarted,
        "version " + monitorVersion_ + ", " + JoinPath(app_, kMonitorServiceFile));
}

void MonitorHealth::MonitorStopping() {
  Event(svcEventInformation, kEventMonitorStopped, "stop requested by the service manager");
}

void MonitorHealth::BackupServiceState(int32_t state) {
  const uint64_t now = p_.loop.TickMs();
  if (state == state_) return;
  state_ = state;
  // In a crash loop the state changes at every start: written at most every
  // few seconds then, and the minute's write has the last word.
  if (!crashLoop_ || now - lastStateWrite_ >= kCrashLoopWriteMs) {
    lastStateWrite_ = now;
    WriteMetrics();
  }
}

void MonitorHealth::WatchdogStartedService(size_t startsInWindow, bool crashLoop) {
  ++watchdogStarts_;
  if (crashLoop) return;  // reported once, until it recovers
  Event(svcEventWarning, kEventWatchdogStart, "start " + std::to_string(startsInWindow) + " within the last 10 minutes");
}

void MonitorHealth::CrashLoop(bool began, uint64_t starts) {
  crashLoop_ = began;
  if (began) {
    Event(svcEventError, kEventCrashLoop,
          "started " + std::to_string(starts) + " times within 10 minutes without staying up; each next start waits "
          "longer, up to 5 minutes");
  } else {
    backoffMs_ = 0;
    nextStartUtc_.reset();
    Event(svcEventInformation, kEventCrashLoopRecovered,
          "it has stayed up: the crash loop is over, after " + std::to_string(starts) + " starts in it");
  }
  WriteMetrics();
}

void MonitorHealth::WatchdogBackoff(uint64_t delayMs, std::optional<uint64_t> nextStartInMs) {
  const std::optional<int64_t> next =
      nextStartInMs ? std::optional<int64_t>(p_.utcNow() + static_cast<int64_t>((*nextStartInMs + 999) / 1000))
                    : std::nullopt;
  if (delayMs == backoffMs_ && next.has_value() == nextStartUtc_.has_value()) return;
  backoffMs_ = delayMs;
  nextStartUtc_ = next;
  WriteMetrics();
}

void MonitorHealth::HeartbeatRestart() {
  ++heartbeatRestarts_;
  Event(svcEventWarning, kEventHeartbeatRestart,
        std::string(kServiceExecutingFile) + " missing, unreadable or older than " +
            std::to_string(kHeartbeatStaleMinutes) + " minutes");
  WriteMetrics();
}

void MonitorHealth::MarkerWaitGivenUp(const std::string& marker, int64_t minutes) {
  Event(svcEventWarning, kEventMarkerWaitGivenUp,
        marker + " still claimed after " + std::to_string(minutes) + " minutes; removed, the monitor goes on");
}

void MonitorHealth::CheckBegun(const std::string& program) {
  for (auto& [name, check] : checks_)
    if (name == program) {
      check = Check{};
      check.running = true;
      return;
    }
  checks_.push_back({program, Check{}});
  checks_.back().second.running = true;
}

void MonitorHealth::CheckFailed(const std::string& program, int32_t number) {
  for (auto& [name, check] : checks_)
    if (name == program && !check.failure) check.failure = number;
}

void MonitorHealth::CheckEnded(const std::string& program) {
  ProgramHealth& p = Program(program);
  p.lastCheckUtc = p_.utcNow();
  p.lastCheckResult = 0;
  for (auto& [name, check] : checks_)
    if (name == program) {
      if (check.failure) p.lastCheckResult = *check.failure;
      check.running = false;
    }
  WriteMetrics();
}

void MonitorHealth::UpdateInstalled(const std::string& program, const std::string& version) {
  Event(svcEventInformation, kEventUpdateInstalled, program + " build " + version);
}

void MonitorHealth::UpdateRefused(const std::string& program, const std::string& version, int32_t number,
                                  const std::string& text) {
  CheckFailed(program, number);
  // A probation ends between checks: its failure is the program's latest result at once.
  bool checking = false;
  for (auto& [name, check] : checks_) checking = checking || (name == program && check.running);
  if (!checking) {
    Program(program).lastCheckResult = number;
    WriteMetrics();
  }
  Event(svcEventError, kEventUpdateRefused,
        program + " build " + version + ": [" + std::to_string(number) + "] " + text);
}

void MonitorHealth::RolledBack(const std::string& program) { Event(svcEventWarning, kEventRollback, program); }

void MonitorHealth::UpdateHeld(const std::string& program, const std::string& /*version*/, int64_t nextTryUtc) {
  ProgramHealth& p = Program(program);
  if (p.held == true && p.heldNextTryUtc == nextTryUtc) return;
  p.held = true;
  p.heldNextTryUtc = nextTryUtc;
  WriteMetrics();
}

void MonitorHealth::UpdateHoldCleared(const std::string& program) {
  ProgramHealth& p = Program(program);
  if (p.held == false) return;
  p.held = false;
  p.heldNextTryUtc.reset();
  WriteMetrics();
}

void MonitorHealth::RolloutWaiting(const std::string& program, bool waiting) {
  ProgramHealth& p = Program(program);
  if (p.rolloutWaiting == waiting) return;
  p.rolloutWaiting = waiting;
  WriteMetrics();
}

void MonitorHealth::InstalledFileDamaged(const std::string& program, const std::string& file, bool missing) {
  Event(svcEventError, kEventInstalledFileDamaged, program + ": " + file + (missing ? " missing" : " changed"));
}

void MonitorHealth::PublicationValidUntil(const std::string& program, int64_t utcSeconds) {
  SetPublicationValidUntil(program, utcSeconds);
}

void MonitorHealth::PublicationExpired(const std::string& program, const std::string& validUntilText) {
  Event(svcEventError, kEventPublicationExpired, program + ", valid until " + validUntilText);
}

}  // namespace quarn
