#pragma once
// Probation: a new build of the backup service is kept only once it has done
// its job for a while. It must keep running (one ending met by the watchdog's
// restart is forgiven, a second is not) and its heartbeat must be written at
// least once and never go stale. Everything is measured on the monitor's
// steady clock, from what the tick samples; nothing here reads a file. A
// build that ended passes only once the process that replaced it has run for
// half the probation, so a late first start cannot hide a second ending.
#include <cstdint>
#include <optional>
#include <string>

#include "common/file_system.h"

namespace quarn {

inline constexpr uint32_t kProbationDefaultSeconds = 600;
inline constexpr uint32_t kProbationMinSeconds = 30;
inline constexpr uint32_t kProbationMaxSeconds = 86400;

// The registry's UpdateProbationSeconds as probation's length: none set is the
// default, below `minimum` counts as it, above a day as a day. The shipped
// minimum is kProbationMinSeconds; only the test build passes less.
uint32_t ProbationSecondsFor(std::optional<uint32_t> value, uint32_t minimum = kProbationMinSeconds);

struct ProbationRules {
  uint64_t lengthMs = uint64_t{kProbationDefaultSeconds} * 1000;
  uint64_t staleMs = 50ull * 60 * 1000;  // the heartbeat rule's
  uint64_t downMs = 20 * 1000;           // not running this long at a stretch: the watchdog cannot keep it up
  int endingsForgiven = 1;
};

// One look at the backup service: the process that runs its program file (0
// when none) and its heartbeat file's stamp (none while it is missing).
struct ProbationSample {
  uint64_t nowMs = 0;
  uint32_t processId = 0;
  std::optional<FileStamp> heartbeat;
};

class Probation {
 public:
  enum class Verdict { kOn, kPassed, kFailed };
  // `first` is taken when probation starts (or starts again after a restart of
  // the monitor): a heartbeat counts as written once its stamp differs from it.
  Probation(ProbationRules rules, const ProbationSample& first);
  Verdict Observe(const ProbationSample& s);
  Verdict verdict() const { return verdict_; }
  // Why it failed, in the log's words.
  const std::string& Why() const { return why_; }
  uint64_t StartedMs() const { return startMs_; }

 private:
  Verdict Fail(std::string why);
  ProbationRules rules_;
  uint64_t startMs_;
  std::optional<FileStamp> heartbeatAtStart_;
  std::optional<FileStamp> lastHeartbeat_;
  bool heartbeatWritten_ = false;
  uint64_t lastHeartbeatMs_ = 0;
  uint32_t lastProcess_ = 0;
  uint64_t upSinceMs_;  // since when the process seen last has run
  uint64_t downSinceMs_;
  bool down_;
  int endings_ = 0;
  Verdict verdict_ = Verdict::kOn;
  std::string why_;
};

}  // namespace quarn
