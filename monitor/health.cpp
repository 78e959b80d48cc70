#include "monitor/health.h"

#include "common/errors.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "monitor/markers.h"
#include "monitor/update/updater.h"

namespace quarn {

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

namespace {

struct Family {
  std::string& out;
  Family(std::string& o, const char* name, const char* type, const char* help) : out(o) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  void Sample(const char* name, const std::string& labels, int64_t value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(std::to_string(value)).append("\n");
  }
};

std::string ProgramLabel(const ProgramHealth& p) { return "program=\"" + EscapeLabelValue(p.program) + "\""; }

template <class Get>
void PerProgram(std::string& out, const HealthSnapshot& s, const char* name, const char* help, Get get) {
  bool any = false;
  for (const auto& p : s.programs) any = any || get(p).has_value();
  if (!any) return;  // a family without samples is left out whole
  Family f(out, name, "gauge", help);
  for (const auto& p : s.programs)
    if (const auto v = get(p)) f.Sample(name, ProgramLabel(p), *v);
}

}  // namespace

std::string FormatMetrics(const HealthSnapshot& s) {
  std::string out;
  Family(out, "quarn_monitor_start_time_seconds", "gauge",
         "When the service monitor started, in seconds since 1970 (UTC).")
      .Sample("quarn_monitor_start_time_seconds", {}, s.monitorStartUtc);
  Family(out, "quarn_backup_service_up", "gauge", "1 while the backup service QuarnSQLService is running, else 0.")
      .Sample("quarn_backup_service_up", {}, s.backupServiceState == kServiceRunning ? 1 : 0);
  Family(out, "quarn_backup_service_state", "gauge",
         "The backup service's state as the service manager reports it: 1 stopped, 2 starting, 3 stopping, "
         "4 running, 5 continuing, 6 pausing, 7 paused, 0 not installed or unreadable.")
      .Sample("quarn_backup_service_state", {}, s.backupServiceState);
  if (s.heartbeatAgeSeconds)
    Family(out, "quarn_backup_heartbeat_age_seconds", "gauge",
           "Seconds since the backup service last wrote its heartbeat; absent while there is none.")
        .Sample("quarn_backup_heartbeat_age_seconds", {}, *s.heartbeatAgeSeconds);
  if (s.lastBackupAgeSeconds)
    Family(out, "quarn_backup_last_backup_age_seconds", "gauge",
           "Seconds since the backup service's last backup; absent before the first.")
        .Sample("quarn_backup_last_backup_age_seconds", {}, *s.lastBackupAgeSeconds);
  Family(out, "quarn_watchdog_starts_total", "counter",
         "Times the watchdog found the backup service stopped and started it, since the monitor started.")
      .Sample("quarn_watchdog_starts_total", {}, static_cast<int64_t>(s.watchdogStarts));
  Family(out, "quarn_heartbeat_restarts_total", "counter",
         "Times the backup service was restarted for a missing or stale heartbeat, since the monitor started.")
      .Sample("quarn_heartbeat_restarts_total", {}, static_cast<int64_t>(s.heartbeatRestarts));
  Family(out, "quarn_backup_service_crash_loop", "gauge",
         "1 while the backup service keeps stopping soon after each start (a crash loop), else 0.")
      .Sample("quarn_backup_service_crash_loop", {}, s.crashLoop ? 1 : 0);
  Family(out, "quarn_watchdog_backoff_seconds", "gauge",
         "The wait before each start of the backup service during a crash loop, 0 outside one.")
      .Sample("quarn_watchdog_backoff_seconds", {}, static_cast<int64_t>(s.backoffSeconds));
  if (s.nextStartUtc)
    Family(out, "quarn_watchdog_next_start_timestamp_seconds", "gauge",
           "When the watchdog starts the backup service again during a crash loop, in seconds since 1970 (UTC).")
        .Sample("quarn_watchdog_next_start_timestamp_seconds", {}, *s.nextStartUtc);

  bool builds = false;
  for (const auto& p : s.programs) builds = builds || p.version.has_value();
  if (builds) {
    Family f(out, "quarn_build_info", "gauge",
             "The build installed of each program of the suite, as its version label.");
    for (const auto& p : s.programs)
      if (p.version)
        f.Sample("quarn_build_info", ProgramLabel(p) + ",version=\"" + EscapeLabelValue(*p.version) + "\"", 1);
  }
  PerProgram(out, s, "quarn_update_last_check_timestamp_seconds",
             "When the last update check of the program ended, in seconds since 1970 (UTC).",
             [](const ProgramHealth& p) { return p.lastCheckUtc; });
  PerProgram(out, s, "quarn_update_last_check_result",
             "The last update check's result: 0 ok, else the number of the error that failed it.",
             [](const ProgramHealth& p) {
               return p.lastCheckResult ? std::optional<int64_t>(*p.lastCheckResult) : std::nullopt;
             });
  PerProgram(out, s, "quarn_update_publication_valid_until_timestamp_seconds",
             "Until when the update server's signed publication holds, in seconds since 1970 (UTC).",
             [](const ProgramHealth& p) { return p.validUntilUtc; });
  PerProgram(out, s, "quarn_update_held",
             "1 while the server's publication is held after its build failed (a probation, a refused program "
             "file), else 0.",
             [](const ProgramHealth& p) { return p.held ? std::optional<int64_t>(*p.held ? 1 : 0) : std::nullopt; });
  PerProgram(out, s, "quarn_update_held_next_try_timestamp_seconds",
             "When the held publication is tried again, in seconds since 1970 (UTC).",
             [](const ProgramHealth& p) { return p.held && *p.held ? p.heldNextTryUtc : std::nullopt; });
  PerProgram(out, s, "quarn_update_rollout_waiting",
             "1 while the server's publication does not reach this machine yet (a staged rollout or the "
             "publisher's hold): it keeps its build. Else 0.",
             [](const ProgramHealth& p) {
               return p.rolloutWaiting ? std::optional<int64_t>(*p.rolloutWaiting ? 1 : 0) : std::nullopt;
             });
  return out;
}

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

std::optional<int64_t> MonitorHealth::AgeOf(const std::string& marker, bool lastLine, SteadyAge& steady) {
  const std::string path = JoinPath(LogsFolderOf(app_), marker);
  try {
    if (!p_.fs.FileExists(path)) {
      steady.Gone();
      return std::nullopt;
    }
    // The same ages as the markers' decisions: on the monitor's own clock while it runs.
    const std::string bytes = p_.fs.ReadAll(path);
    const std::string text = p_.codec.FromAnsi(bytes);
    const LocalTime now = p_.clock.Now();
    const auto when = BelievedMarkerTime(lastLine ? LastLine(text) : LastNonEmptyLine(text),
                                         p_.fs.LastModified(path), now, p_.dates);
    std::optional<uint64_t> believed;
    if (when) believed = static_cast<uint64_t>(std::max<int64_t>(0, ToEpochSeconds(now) - ToEpochSeconds(*when))) * 1000;
    const auto ms = steady.Look(bytes, p_.fs.Stamp(path), believed, p_.loop.TickMs());
    if (!ms) return std::nullopt;  // dated ahead of the clock, and unchanged since
    return static_cast<int64_t>(*ms / 1000);
  } catch (const VbError&) {
    return std::nullopt;  // being written, or just removed: the next write reads it
  }
}

std::optional<std::string> MonitorHealth::RecordOf(const std::string& file) {
  const std::string path = JoinPath(LogsFolderOf(app_), file);
  try {
    // Bounded as the updater bounds it: no record reaches the metrics whole.
    if (!p_.fs.FileExists(path) || p_.fs.Stamp(path).size > kMaxRecordBytes) return std::nullopt;
    std::string v = LastNonEmptyLine(p_.codec.FromAnsi(p_.fs.ReadAll(path)));
    if (v.size() > kMaxRecordLineBytes) return std::nullopt;
    const size_t b = v.find_first_not_of(' ');
    if (b == std::string::npos) return std::nullopt;
    return v.substr(b, v.find_last_not_of(' ') - b + 1);
  } catch (const VbError&) {
    return std::nullopt;
  }
}

HealthSnapshot MonitorHealth::Snapshot() {
  HealthSnapshot s;
  s.monitorStartUtc = startUtc_;
  s.backupServiceState = state_ < 0 ? 0 : state_;
  s.heartbeatAgeSeconds = AgeOf(kServiceExecutingFile, true, heartbeatAge_);
  s.lastBackupAgeSeconds = AgeOf(kServiceUltimoBackupFile, false, lastBackupAge_);
  s.watchdogStarts = watchdogStarts_;
  s.heartbeatRestarts = heartbeatRestarts_;
  s.crashLoop = crashLoop_;
  s.backoffSeconds = backoffMs_ / 1000;
  s.nextStartUtc = nextStartUtc_;
  Program(kMonitorServiceName).version = monitorVersion_;
  Program(kBackupServiceName).version = RecordOf(kServiceVersionRecord);
  Program(kGuiMonitorName).version = RecordOf(kGuiVersionRecord);
  s.programs = programs_;
  return s;
}

void MonitorHealth::WriteTo(Destination& d, const std::string& bytes) {
  const std::string target = JoinPath(d.folder, kMetricsFileName);
  try {
    // A reader sees the old file or the new one, never half of one.
    ReplaceFile(p_.fs, target, bytes, true);  // a collector reading it keeps the last whole one
    d.failing = false;
  } catch (const VbError& e) {
    if (d.failing) return;  // reported already; every write tries again
    d.failing = true;
    try {
      p_.logs.SalvaLogErro(p_.dates.GeneralDate(p_.clock.Now()) + " | Metricas | " + std::to_string(e.Number()) +
                           " - " + e.Description() + " (" + target + ")");
    } catch (const VbError&) {
    }
  }
}

void MonitorHealth::WriteMetrics() {
  try {
    const std::string bytes = FormatMetrics(Snapshot());
    // Until start-up has made the Logs folder there is nowhere to write.
    if (p_.fs.DirExists(logs_.folder)) WriteTo(logs_, bytes);
    std::string extra = p_.metricsFolder ? p_.metricsFolder() : std::string();
    if (extra != extra_.folder) extra_ = Destination{extra};
    // A folder others may change could hold a link where the file goes, and
    // turn the rename of a LocalSystem program onto any file: asked at every write.
    if (!extra.empty() && p_.adminOnly && !p_.adminOnly(extra)) {
      if (!extra_.refused) {
        extra_.refused = true;
        const std::string text = "Pasta MetricsTextfileDirectory aberta a outras contas, métricas não gravadas nela: " + extra;
        Event(svcEventError, kEventMetricsFolderRefused, text);
        try {
          p_.logs.SalvaLogErro(p_.dates.GeneralDate(p_.clock.Now()) + " | Metricas | " + text);
        } catch (const VbError&) {
        }
      }
    } else if (!extra.empty()) {
      extra_.refused = false;
      WriteTo(extra_, bytes);
    }
  } catch (const VbError&) {
    // Nothing of the metrics may end the monitor.
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
