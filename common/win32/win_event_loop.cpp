#include "common/win32/win_event_loop.h"

#include "common/errors.h"

namespace quarn::win {

class Win32EventLoop::WindowTimer final : public Timer {
 public:
  WindowTimer(Win32EventLoop& loop, UINT_PTR id, int interval) : loop_(loop), id_(id), interval_(interval) {}
  ~WindowTimer() override {
    SetEnabled(false);
    loop_.timers_.erase(id_);
  }
  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled)
      SetTimer(loop_.window_, id_, static_cast<UINT>(interval_), nullptr);
    else
      KillTimer(loop_.window_, id_);
  }
  bool Enabled() const override { return enabled_; }
  void SetInterval(int interval) override {
    interval_ = interval;
    if (enabled_) SetTimer(loop_.window_, id_, static_cast<UINT>(interval_), nullptr);
  }

 private:
  Win32EventLoop& loop_;
  UINT_PTR id_;
  int interval_;
  bool enabled_ = false;
};

std::unique_ptr<Timer> Win32EventLoop::CreateTimer(int intervalMs, std::function<void()> onTick) {
  const UINT_PTR id = nextId_++;
  timers_[id] = std::move(onTick);
  return std::make_unique<WindowTimer>(*this, id, intervalMs);
}

bool Win32EventLoop::OnTimerMessage(WPARAM id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  auto callback = it->second;  // the handler may destroy its own timer
  callback();
  return true;
}

// The one pump: every message waiting, until the queue is empty or the
// program is ending (a handler ended it, or WM_QUIT came).
void Win32EventLoop::Pump() {
  MSG msg;
  while (!ending_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      ending_ = true;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32EventLoop::DoEvents() {
  if (ending_) throw ProgramEnd{};
  Pump();
  if (ending_) throw ProgramEnd{};
}

void Win32EventLoop::Idle(int maxMs) {
  DoEvents();
  // Alertable: the service manager's notifications arrive as APCs.
  MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(maxMs), QS_ALLINPUT, MWMO_INPUTAVAILABLE | MWMO_ALERTABLE);
  DoEvents();
}

void Win32EventLoop::Run() {
  for (Pump(); !ending_; Pump()) {
    // As GetMessageW, but alertable, so that an APC queued to this thread runs.
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE | MWMO_ALERTABLE);
  }
}

void Win32EventLoop::EndProgram() {
  if (ending_) return;
  ending_ = true;
  PostQuitMessage(0);
}

}  // namespace quarn::win
