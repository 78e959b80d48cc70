// The metrics file's text, in the exposition format a textfile collector reads.
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

}  // namespace quarn
