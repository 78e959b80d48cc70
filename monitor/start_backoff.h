#pragma once
// The watchdog's patience with a backup service that keeps ending soon after
// it starts. The first start after a stop is immediate; once starts come too
// often (a crash loop) each next one waits twice as long as the one before, up
// to a ceiling, and no window ever holds more than so many starts. Ten minutes
// of running end the loop. Pure: times are the monitor's steady milliseconds.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace quarn {

class StartBackoff {
 public:
  static constexpr size_t kLoopStarts = 5;  // this many starts within the window: a crash loop
  static constexpr uint64_t kWindowMs = 10 * 60 * 1000;
  static constexpr size_t kMaxStartsInWindow = 20;
  static constexpr uint64_t kFirstDelayMs = 1000;
  static constexpr uint64_t kMaxDelayMs = 5 * 60 * 1000;
  static constexpr uint64_t kRecoveredAfterMs = 10 * 60 * 1000;

  enum class Change { kNone, kLoopBegan, kDelayChanged };

  explicit StartBackoff(uint64_t recoveredAfterMs = kRecoveredAfterMs) : recoveredAfterMs_(recoveredAfterMs) {}
  uint64_t RecoveredAfterMs() const { return recoveredAfterMs_; }

  // The service was seen in any state but running (the wait is counted from
  // the first such look after a start), or running.
  void NotRunning(uint64_t now);
  // True when this look ends a loop: it has run for the recovery time (ten
  // minutes; shorter only in a test tree).
  bool Running(uint64_t now);
  // The earliest moment the next start may be asked for (`now` or earlier
  // when it may be asked at once).
  uint64_t StartAllowedAt(uint64_t now) const;
  // A start was asked for at `now`.
  Change Started(uint64_t now);

  bool InLoop() const { return inLoop_; }
  uint64_t DelayMs() const { return inLoop_ ? delay_ : 0; }
  uint64_t LoopStarts() const { return loopStarts_; }  // since the loop began, the starts that showed it included
  size_t StartsInWindow() const { return starts_.size(); }

 private:
  uint64_t recoveredAfterMs_;
  std::deque<uint64_t> starts_;  // within the window of the latest start
  bool inLoop_ = false;
  uint64_t delay_ = 0;
  uint64_t loopStarts_ = 0;
  std::optional<uint64_t> downSince_;
  std::optional<uint64_t> runningSince_;
};

}  // namespace quarn
