#pragma once
// The window thread's event loop: timers, and waits that let pending events run.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quarn {

class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  // A new interval starts counting afresh, as a window timer's does.
  virtual void SetInterval(int intervalMs) = 0;
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Runs every pending event. Throws ProgramEnd once the window has been unloaded.
  virtual void DoEvents() = 0;
  // Runs pending events, then blocks until the next event or at most maxMs.
  // Waits that poll a condition call this so that they never spin a core.
  virtual void Idle(int maxMs) = 0;
  // Blocks for ms and runs no event: for the last steps of a program that is
  // ending, when DoEvents and Idle only throw ProgramEnd.
  virtual void Pause(int ms) = 0;
  virtual uint64_t TickMs() = 0;
  virtual std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTick) = 0;
};

// A loop driven by a virtual clock: Idle and Advance move time forward and fire
// due timers in order, so hours of ticks run in microseconds and in a fixed order.
class VirtualEventLoop final : public EventLoop {
 public:
  VirtualEventLoop();
  ~VirtualEventLoop() override;
  void DoEvents() override;
  void Idle(int maxMs) override;
  void Pause(int ms) override { now_ += static_cast<uint64_t>(ms > 0 ? ms : 1); }
  uint64_t TickMs() override { return now_; }
  std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTick) override;

  // Queues an event (a service request, say) to run at the next DoEvents.
  void Post(std::function<void()> event);
  // Moves time forward by ms, running events and timers as they fall due.
  void Advance(uint64_t ms);
  // Makes every later DoEvents throw ProgramEnd, as an unloaded window does.
  void EndProgram() { ended_ = true; }
  bool Ended() const { return ended_; }
  uint64_t IdleCalls() const { return idleCalls_; }

 private:
  struct TimerState;
  class VirtualTimer;
  void RunDue();
  uint64_t now_ = 0;
  bool ended_ = false;
  uint64_t idleCalls_ = 0;
  std::vector<std::function<void()>> posted_;
  std::vector<std::shared_ptr<TimerState>> timers_;
};

}  // namespace quarn
