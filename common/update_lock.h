#pragma once
// The suite's update lock: the monitor holds it while it updates or puts an
// update right, the installer while it settles what an update left and writes
// the suite, so that neither undoes the other's files.
#include <cstdint>

namespace quarn {

class UpdateLock {
 public:
  virtual ~UpdateLock() = default;
  // Waits at most waitMs; false while another program holds it. Held again by
  // the same program, it counts (a recursive lock).
  virtual bool Acquire(uint32_t waitMs) = 0;
  virtual void Release() = 0;
};

// Where there is no other program to keep out.
class NoUpdateLock final : public UpdateLock {
 public:
  bool Acquire(uint32_t) override { return true; }
  void Release() override {}
};

// Held for a scope when it could be had.
class UpdateLockHold {
 public:
  UpdateLockHold(UpdateLock& lock, uint32_t waitMs) : lock_(lock), held_(lock.Acquire(waitMs)) {}
  ~UpdateLockHold() {
    if (held_) lock_.Release();
  }
  UpdateLockHold(const UpdateLockHold&) = delete;
  UpdateLockHold& operator=(const UpdateLockHold&) = delete;
  bool Held() const { return held_; }

 private:
  UpdateLock& lock_;
  bool held_;
};

}  // namespace quarn
