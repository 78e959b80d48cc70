#include "common/event_loop.h"

#include <algorithm>
#include <vector>

#include "common/errors.h"

namespace quarn {

struct VirtualEventLoop::TimerState {
  int interval = 1000;
  bool enabled = false;
  bool alive = true;
  uint64_t due = 0;
  std::function<void()> onTick;
};

class VirtualEventLoop::VirtualTimer final : public Timer {
 public:
  VirtualTimer(VirtualEventLoop& loop, std::shared_ptr<TimerState> s) : loop_(loop), s_(std::move(s)) {}
  ~VirtualTimer() override { s_->alive = false; }
  void SetEnabled(bool enabled) override {
    // Enabling restarts the interval, as a window timer does.
    if (enabled && !s_->enabled) s_->due = loop_.now_ + static_cast<uint64_t>(s_->interval);
    s_->enabled = enabled;
  }
  bool Enabled() const override { return s_->enabled; }
  void SetInterval(int intervalMs) override {
    s_->interval = std::max(1, intervalMs);
    if (s_->enabled) s_->due = loop_.now_ + static_cast<uint64_t>(s_->interval);
  }

 private:
  VirtualEventLoop& loop_;
  std::shared_ptr<TimerState> s_;
};

VirtualEventLoop::VirtualEventLoop() = default;
VirtualEventLoop::~VirtualEventLoop() = default;

std::unique_ptr<Timer> VirtualEventLoop::CreateTimer(int intervalMs, std::function<void()> onTick) {
  auto s = std::make_shared<TimerState>();
  s->interval = std::max(1, intervalMs);
  s->onTick = std::move(onTick);
  timers_.push_back(s);
  return std::make_unique<VirtualTimer>(*this, s);
}

void VirtualEventLoop::Post(std::function<void()> event) { posted_.push_back(std::move(event)); }

void VirtualEventLoop::RunDue() {
  if (ended_) throw ProgramEnd{};
  while (!posted_.empty()) {
    auto event = std::move(posted_.front());
    posted_.erase(posted_.begin());
    event();
    if (ended_) throw ProgramEnd{};
  }
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](auto& t) { return !t->alive; }), timers_.end());
  // A snapshot: timers created or fired inside a tick wait for the next pass.
  auto snapshot = timers_;
  for (auto& t : snapshot) {
    if (t->alive && t->enabled && t->due <= now_) {
      t->due = now_ + static_cast<uint64_t>(t->interval);
      t->onTick();
      if (ended_) throw ProgramEnd{};
    }
  }
}

void VirtualEventLoop::DoEvents() { RunDue(); }

void VirtualEventLoop::Idle(int maxMs) {
  ++idleCalls_;
  RunDue();
  now_ += static_cast<uint64_t>(std::max(1, maxMs));
  RunDue();
}

void VirtualEventLoop::Advance(uint64_t ms) {
  const uint64_t end = now_ + ms;
  RunDue();
  while (now_ < end) {
    uint64_t next = end;
    for (auto& t : timers_)
      if (t->alive && t->enabled && t->due > now_) next = std::min(next, t->due);
    now_ = std::min(end, std::max(now_ + 1, next));
    RunDue();
  }
}

}  // namespace quarn
