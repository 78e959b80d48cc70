// What the health reads of the suite's files (the markers' ages, the version
// records) and where it writes the metrics file.
#include "monitor/health.h"

#include "common/errors.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "monitor/markers.h"
#include "monitor/update/updater.h"

namespace quarn {

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

}  // namespace quarn
