#pragma once
// The monitor's health as a fleet owner sees it from outside: event-log entries
// with the message table's identifiers, crash-loop detection, and the metrics
// file in the Prometheus text format (Logs\quarn_sql.prom, and a copy in the
// folder named by MetricsTextfileDirectory when there is one).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ansi_text.h"
#include "common/event_loop.h"
#include "common/file_system.h"
#include "common/time_text.h"
#include "monitor/health_events.h"
#include "monitor/logs.h"
#include "monitor/markers.h"
#include "monitor/service_host.h"

namespace quarn {

inline constexpr char kMetricsFileName[] = "quarn_sql.prom";
// Written first under the file's name and ".tmp" (ReplaceFile), not "*.prom":
// a textfile collector reading the folder mid-write skips it.

struct ProgramHealth {
  std::string program;
  std::optional<std::string> version;      // the build installed
  std::optional<int64_t> lastCheckUtc;     // seconds since 1970, UTC
  std::optional<int32_t> lastCheckResult;  // 0 ok, else the error number
  std::optional<int64_t> validUntilUtc;    // the publication's signed statement
  std::optional<bool> held;                // the server's publication is held after its build failed
  std::optional<int64_t> heldNextTryUtc;   // when it is tried again
  std::optional<bool> rolloutWaiting;      // the publication does not reach this machine yet
};

// Everything the metrics file says; a value left empty is left out.
struct HealthSnapshot {
  int64_t monitorStartUtc = 0;
  int32_t backupServiceState = 0;  // the service manager's number, 0 unreadable
  std::optional<int64_t> heartbeatAgeSeconds;
  std::optional<int64_t> lastBackupAgeSeconds;
  uint64_t watchdogStarts = 0;
  uint64_t heartbeatRestarts = 0;
  bool crashLoop = false;
  uint64_t backoffSeconds = 0;               // the wait before each start in a crash loop
  std::optional<int64_t> nextStartUtc;       // when the start held back comes
  std::vector<ProgramHealth> programs;
};

// The file's bytes: UTF-8, LF line ends, one final newline, families in a fixed order.
std::string FormatMetrics(const HealthSnapshot& s);
// A label value as the text format writes it: \, " and line feed escaped.
std::string EscapeLabelValue(const std::string& value);

struct HealthPorts {
  FileSystem& fs;
  const TextCodec& codec;
  Clock& clock;
  DateFormat& dates;
  EventLoop& loop;
  ServiceHost& host;
  MonitorLogs& logs;
  std::function<int64_t()> utcNow;             // seconds since 1970, UTC
  std::function<std::string()> metricsFolder;  // MetricsTextfileDirectory, empty when unset
  // Whether only SYSTEM and administrators may change the folder; unset, no
  // folder is asked about (the portable tests).
  std::function<bool(const std::string&)> adminOnly = nullptr;
};

class MonitorHealth final : public MonitorObserver, public UpdateObserver {
 public:
  static constexpr int kWriteIntervalMs = 60 * 1000;
  static constexpr uint64_t kCrashLoopWriteMs = 10 * 1000;

  MonitorHealth(HealthPorts ports, std::string appPath, std::string monitorVersion);
  ~MonitorHealth() override;

  // Takes the start time, writes the file and writes it again every minute.
  void Start();
  // Writes the file now; a failure is reported once per destination and the
  // next write tries again. Never raises.
  void WriteMetrics();
  // The model as the next write would see it (files read afresh).
  HealthSnapshot Snapshot();
  bool CrashLoop() const { return crashLoop_; }

  // The publication's valid-until stays out of the file until a value is given.
  void SetPublicationValidUntil(const std::string& program, std::optional<int64_t> utcSeconds);

  void LogsReady() override { Start(); }
  void MonitorStarted() override;
  void MonitorStopping() override;
  void BackupServiceState(int32_t state) override;
  void WatchdogStartedService(size_t startsInWindow, bool crashLoop) override;
  void CrashLoop(bool began, uint64_t starts) override;
  void WatchdogBackoff(uint64_t delayMs, std::optional<uint64_t> nextStartInMs) override;
  void HeartbeatRestart() override;
  void MarkerWaitGivenUp(const std::string& marker, int64_t minutes) override;

  void CheckBegun(const std::string& program) override;
  void CheckFailed(const std::string& program, int32_t number) override;
  void CheckEnded(const std::string& program) override;
  void UpdateInstalled(const std::string& program, const std::string& version) override;
  void UpdateRefused(const std::string& program, const std::string& version, int32_t number,
                     const std::string& text) override;
  void RolledBack(const std::string& program) override;
  void UpdateHeld(const std::string& program, const std::string& version, int64_t nextTryUtc) override;
  void UpdateHoldCleared(const std::string& program) override;
  void RolloutWaiting(const std::string& program, bool waiting) override;
  void InstalledFileDamaged(const std::string& program, const std::string& file, bool missing) override;
  void PublicationValidUntil(const std::string& program, int64_t utcSeconds) override;
  void PublicationExpired(const std::string& program, const std::string& validUntilText) override;

 private:
  struct Destination {
    std::string folder;
    bool failing = false;
    bool refused = false;  // open to other accounts: reported once, never written
  };
  struct Check {
    std::optional<int32_t> failure;
    bool running = false;
  };
  ProgramHealth& Program(const std::string& name);
  void Event(int32_t type, int32_t id, const std::string& text);
  void WriteTo(Destination& d, const std::string& bytes);
  std::optional<int64_t> AgeOf(const std::string& marker, bool lastLine, SteadyAge& steady);
  SteadyAge heartbeatAge_, lastBackupAge_;
  std::optional<std::string> RecordOf(const std::string& file);

  HealthPorts p_;
  std::string app_;
  std::string monitorVersion_;
  std::unique_ptr<Timer> timer_;
  int64_t startUtc_ = 0;
  int32_t state_ = -1;
  uint64_t watchdogStarts_ = 0, heartbeatRestarts_ = 0;
  bool crashLoop_ = false;
  uint64_t backoffMs_ = 0;
  std::optional<int64_t> nextStartUtc_;
  uint64_t lastStateWrite_ = 0;
  std::vector<ProgramHealth> programs_;
  std::vector<std::pair<std::string, Check>> checks_;
  Destination logs_;
  Destination extra_;
};

}  // namespace quarn
