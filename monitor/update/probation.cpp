#include "monitor/update/probation.h"

#include <algorithm>

namespace quarn {

uint32_t ProbationSecondsFor(std::optional<uint32_t> value, uint32_t minimum) {
  if (!value) return kProbationDefaultSeconds;
  return std::clamp(*value, minimum, kProbationMaxSeconds);
}

Probation::Probation(ProbationRules rules, const ProbationSample& first)
    : rules_(rules),
      startMs_(first.nowMs),
      heartbeatAtStart_(first.heartbeat),
      lastHeartbeat_(first.heartbeat),
      lastProcess_(first.processId),
      upSinceMs_(first.nowMs),
      downSinceMs_(first.nowMs),
      down_(first.processId == 0) {}

Probation::Verdict Probation::Fail(std::string why) {
  verdict_ = Verdict::kFailed;
  why_ = std::move(why);
  return verdict_;
}

Probation::Verdict Probation::Observe(const ProbationSample& s) {
  if (verdict_ != Verdict::kOn) return verdict_;
  const uint64_t now = std::max(s.nowMs, startMs_);
  // The process seen last is gone: the build ended (whoever started it again).
  if (lastProcess_ != 0 && s.processId != lastProcess_) ++endings_;
  if (s.processId != 0 && s.processId != lastProcess_) upSinceMs_ = now;
  lastProcess_ = s.processId;
  if (s.processId == 0) {
    if (!down_) downSinceMs_ = now;
    down_ = true;
  } else {
    down_ = false;
  }
  if (s.heartbeat && s.heartbeat != lastHeartbeat_ && s.heartbeat != heartbeatAtStart_) {
    heartbeatWritten_ = true;
    lastHeartbeatMs_ = now;
  }
  lastHeartbeat_ = s.heartbeat;

  const auto seconds = [](uint64_t ms) { return std::to_string(ms / 1000) + " s"; };
  if (endings_ > rules_.endingsForgiven)
    return Fail("terminou " + std::to_string(endings_) + " vezes em " + seconds(now - startMs_));
  if (down_ && now - downSinceMs_ >= rules_.downMs) return Fail("parado há " + seconds(now - downSinceMs_));
  if (heartbeatWritten_ && now - lastHeartbeatMs_ >= rules_.staleMs)
    return Fail("batimento sem atualização há " + seconds(now - lastHeartbeatMs_));
  if (now - startMs_ < rules_.lengthMs) return verdict_;
  if (!heartbeatWritten_) return Fail("nenhum batimento em " + seconds(now - startMs_));
  // The watchdog is starting it again, or did so late: passed only once it has run a while.
  if (down_ || now - upSinceMs_ < rules_.lengthMs / 2) return verdict_;
  verdict_ = Verdict::kPassed;
  return verdict_;
}

}  // namespace quarn
