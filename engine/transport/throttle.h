// Keeps a transfer at or below a byte rate by holding the receiving thread, for transports
// whose stack has no reliable limit of its own, and holds the deadline of the whole transfer.
// Rate and deadline may change from any thread while a transfer runs. Shared by both transports.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/mutex.h"

namespace zdl {

class Throttle {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts counting a new exchange at the current rate. Time spent idle earns no burst, but
  // bytes already ahead of the rate stay owed: exchanges sharing the throttle keep one budget.
  void Restart() {
    lumo::MutexLock lock(lock_);
    if (rate_ == 0 || start_ + std::chrono::milliseconds(bytes_ * 1000 / rate_) <= Clock::now()) {
      RebaseLocked();
    }
  }

  // A new rate (0 = unlimited) from now on; a waiting Pace recomputes its wait.
  void SetRate(uint32_t bytesPerSecond) {
    lumo::MutexLock lock(lock_);
    rate_ = bytesPerSecond;
    RebaseLocked();
    wake_.NotifyAll();
  }

  // The rate in effect (0 = unlimited).
  uint32_t Rate() {
    lumo::MutexLock lock(lock_);
    return rate_;
  }

  void SetDeadline(Clock::time_point deadline) {
    lumo::MutexLock lock(lock_);
    deadline_ = deadline;
    ++generation_;
    wake_.NotifyAll();
  }

  Clock::time_point Deadline() {
    lumo::MutexLock lock(lock_);
    return deadline_;
  }

  bool PastDeadline() {
    lumo::MutexLock lock(lock_);
    return Clock::now() >= deadline_;
  }

  // Counts bytes just received and waits until they fit the rate. False when cancelled or past
  // the deadline.
  bool Pace(size_t bytes) {
    lumo::MutexLock lock(lock_);
    bytes_ += bytes;
    for (;;) {
      if (cancelled_ || Clock::now() >= deadline_) return false;
      if (rate_ == 0) return true;
      const Clock::time_point due = start_ + std::chrono::milliseconds(bytes_ * 1000 / rate_);
      if (Clock::now() >= due) return true;
      const uint64_t generation = generation_;
      // Wakes for a cancel, a new rate or deadline, or when due; then looks again.
      const Clock::time_point until = due < deadline_ ? due : deadline_;
      while (!cancelled_ && generation == generation_ && wake_.WaitUntil(lock_, until)) {
      }
    }
  }

  // Any thread: ends every wait, now and later.
  void Cancel() {
    lumo::MutexLock lock(lock_);
    cancelled_ = true;
    wake_.NotifyAll();
  }

 private:
  void RebaseLocked() REQUIRES(lock_) {
    bytes_ = 0;
    start_ = Clock::now();
    ++generation_;
  }

  lumo::Mutex lock_;
  lumo::CondVar wake_;
  bool cancelled_ GUARDED_BY(lock_) = false;
  uint32_t rate_ GUARDED_BY(lock_) = 0;
  uint64_t bytes_ GUARDED_BY(lock_) = 0;       // counted since start_
  uint64_t generation_ GUARDED_BY(lock_) = 0;  // grows with every change a wait must see
  Clock::time_point start_ GUARDED_BY(lock_) = Clock::now();
  Clock::time_point deadline_ GUARDED_BY(lock_) = Clock::time_point::max();
};

}  // namespace zdl
