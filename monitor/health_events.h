#pragma once
// What the monitor tells whoever watches it from outside (the event log, the
// metrics file): the event identifiers of its message table, and the
// observers that the watchdog, the markers and the updater call at each step
// worth reporting. Every call has an empty default, so a part built without a
// watcher (the tests of one part) needs nothing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quarn {

// Event identifiers, the message table's (monitor/win32/messages.mc) and the
// README's. Stable: administrators alert on them. 109 and 110 are the service
// host's own identifiers (svcMessageError, svcMessageInfo), whose text is the
// entry's whole text: "Service paused" and "[number] description" of a failed
// service procedure under 109, "Service continued" under 110.
enum MonitorEventId : int32_t {
  kEventErrorText = 109,
  kEventInfoText = 110,
  kEventMonitorStarted = 1000,
  kEventMonitorStopped = 1001,
  kEventFatal = 1002,
  kEventTestKey = 1003,  // a build that trusts the build tree's test key started
  kEventWatchdogStart = 1010,  // the backup service was seen stopped and started
  kEventHeartbeatRestart = 1011,
  kEventCrashLoop = 1012,
  kEventCrashLoopRecovered = 1013,
  kEventUpdateInstalled = 1020,
  kEventUpdateRefused = 1021,
  kEventRollback = 1022,
  kEventPublicationExpired = 1023,
  kEventInstalledFileDamaged = 1024,  // a file of the build in place was missing or changed: installed again
  kEventMarkerWaitGivenUp = 1030,
  kEventMetricsFolderRefused = 1040,  // MetricsTextfileDirectory names a folder others may change
};

inline constexpr int32_t svcEventWarning = 2;

// Every documented identifier, for the README's table and the tests that
// read each one back from the program file.
inline constexpr int32_t kDocumentedEventIds[] = {kEventErrorText,
                                                  kEventInfoText,
                                                  kEventMonitorStarted,
                                                  kEventMonitorStopped,
                                                  kEventFatal,
                                                  kEventTestKey,
                                                  kEventWatchdogStart,
                                                  kEventHeartbeatRestart,
                                                  kEventCrashLoop,
                                                  kEventCrashLoopRecovered,
                                                  kEventUpdateInstalled,
                                                  kEventUpdateRefused,
                                                  kEventRollback,
                                                  kEventPublicationExpired,
                                                  kEventInstalledFileDamaged,
                                                  kEventMarkerWaitGivenUp,
                                                  kEventMetricsFolderRefused};

// The window's, the watchdog's and the markers' side.
class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  virtual void LogsReady() {}                            // start-up has made the Logs folder: reports may begin
  virtual void MonitorStarted() {}                       // the service manager's start was handled
  virtual void MonitorStopping() {}                      // the service manager's stop arrived
  virtual void BackupServiceState(int32_t /*state*/) {}  // every watchdog tick
  // A start the watchdog asked for, and the starts of the last ten minutes with it.
  virtual void WatchdogStartedService(size_t /*startsInWindow*/, bool /*crashLoop*/) {}
  // A crash loop seen (its starts so far), or over after ten minutes of running (its starts in all).
  virtual void CrashLoop(bool /*began*/, uint64_t /*starts*/) {}
  // The wait before the next start in a crash loop (0 outside one), and when
  // the start held back comes, from now; none while no start waits.
  virtual void WatchdogBackoff(uint64_t /*delayMs*/, std::optional<uint64_t> /*nextStartInMs*/) {}
  virtual void HeartbeatRestart() {}
  // An in-use marker that was still claimed after its limit, and was removed.
  virtual void MarkerWaitGivenUp(const std::string& /*marker*/, int64_t /*minutes*/) {}
  static MonitorObserver& None() {
    static MonitorObserver none;
    return none;
  }
};

// The updater's side, one program ("QuarnSQLService", "QuarnSQLMonitor") at a time.
class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  virtual void CheckBegun(const std::string& /*program*/) {}
  // A step of the check failed with this number; the check's result is the first.
  virtual void CheckFailed(const std::string& /*program*/, int32_t /*number*/) {}
  virtual void CheckEnded(const std::string& /*program*/) {}
  virtual void UpdateInstalled(const std::string& /*program*/, const std::string& /*version*/) {}
  virtual void UpdateRefused(const std::string& /*program*/, const std::string& /*version*/, int32_t /*number*/,
                             const std::string& /*text*/) {}
  virtual void RolledBack(const std::string& /*program*/) {}
  // The server's publication is held after its build failed; tried again at nextTryUtc.
  virtual void UpdateHeld(const std::string& /*program*/, const std::string& /*version*/, int64_t /*nextTryUtc*/) {}
  virtual void UpdateHoldCleared(const std::string& /*program*/) {}
  // The server's publication does not reach this machine yet (a staged
  // rollout it is not in, or a hold by the publisher): it keeps its build.
  virtual void RolloutWaiting(const std::string& /*program*/, bool /*waiting*/) {}
  // A file of the build in place was missing or changed: the build is installed again.
  virtual void InstalledFileDamaged(const std::string& /*program*/, const std::string& /*file*/, bool /*missing*/) {}
  // The signed statement of a publication: until when it holds (seconds since
  // 1970, UTC), and its expiry once reached.
  virtual void PublicationValidUntil(const std::string& /*program*/, int64_t /*utcSeconds*/) {}
  virtual void PublicationExpired(const std::string& /*program*/, const std::string& /*validUntilText*/) {}
  static UpdateObserver& None() {
    static UpdateObserver none;
    return none;
  }
};

// Ends a check on every way out of it.
struct UpdateCheckScope {
  UpdateObserver& observer;
  std::string program;
  UpdateCheckScope(UpdateObserver& o, std::string name) : observer(o), program(std::move(name)) {
    observer.CheckBegun(program);
  }
  // Runs while a stop request unwinds the check too: a report, never a second failure.
  ~UpdateCheckScope() {
    try {
      observer.CheckEnded(program);
    } catch (...) {
    }
  }
  UpdateCheckScope(const UpdateCheckScope&) = delete;
  UpdateCheckScope& operator=(const UpdateCheckScope&) = delete;
};

}  // namespace quarn
