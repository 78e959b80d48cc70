#include "monitor/start_backoff.h"

#include <algorithm>

namespace quarn {

void StartBackoff::NotRunning(uint64_t now) {
  runningSince_.reset();
  if (!downSince_) downSince_ = now;
}

bool StartBackoff::Running(uint64_t now) {
  downSince_.reset();
  if (!runningSince_) runningSince_ = now;
  if (!inLoop_ || now - *runningSince_ < recoveredAfterMs_) return false;
  inLoop_ = false;
  delay_ = 0;
  starts_.clear();
  return true;
}

uint64_t StartBackoff::StartAllowedAt(uint64_t now) const {
  if (!inLoop_) return now;
  uint64_t at = (downSince_ ? *downSince_ : now) + delay_;
  if (starts_.size() >= kMaxStartsInWindow) at = std::max(at, starts_.front() + kWindowMs);
  return at;
}

StartBackoff::Change StartBackoff::Started(uint64_t now) {
  downSince_.reset();
  runningSince_.reset();
  starts_.push_back(now);
  while (now - starts_.front() >= kWindowMs) starts_.pop_front();
  if (!inLoop_) {
    if (starts_.size() < kLoopStarts) return Change::kNone;
    inLoop_ = true;
    delay_ = kFirstDelayMs;
    loopStarts_ = starts_.size();
    return Change::kLoopBegan;
  }
  ++loopStarts_;
  const uint64_t next = std::min(delay_ * 2, kMaxDelayMs);
  if (next == delay_) return Change::kNone;
  delay_ = next;
  return Change::kDelayChanged;
}

}  // namespace quarn
