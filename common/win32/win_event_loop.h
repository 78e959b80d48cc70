#pragma once
// The window thread's message loop as the core's EventLoop: timers are window
// timers, and waits block in MsgWaitForMultipleObjectsEx between polls,
// alertably, so that APCs queued to the window thread run in them.
#include <windows.h>

#include <functional>
#include <map>
#include <memory>

#include "common/event_loop.h"

namespace quarn::win {

class Win32EventLoop final : public EventLoop {
 public:
  explicit Win32EventLoop(HWND window) : window_(window) {}
  void SetWindow(HWND window) { window_ = window; }

  void DoEvents() override;
  void Idle(int maxMs) override;
  void Pause(int ms) override { Sleep(static_cast<DWORD>(ms)); }
  uint64_t TickMs() override { return GetTickCount64(); }
  std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTick) override;

  // Runs until the program ends; returns normally then.
  void Run();
  // Marks the program as ending: waits unwind and Run returns.
  void EndProgram();
  bool Ending() const { return ending_; }
  // Window procedure hook: true when the message was a timer of ours.
  bool OnTimerMessage(WPARAM id);

 private:
  class WindowTimer;
  void Pump();
  HWND window_;
  bool ending_ = false;
  UINT_PTR nextId_ = 100;
  std::map<UINT_PTR, std::function<void()>> timers_;
};

}  // namespace quarn::win
