// Keeps a transfer at or below a byte rate by holding the receiving thread, for transports
// whose stack has no reliable limit of its own, and holds the deadline of the whole transfer.
// Rate and deadline may change from any thread while a transfer runs. Shared by both transports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zdl {

class Throttle {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts counting a new exchange at the current rate. Time spent idle earns no burst, but
  // bytes already ahead of the rate stay owed: exchanges sharing the throttle keep one budget.
  void Restart() {
    std::lock_guard<std::mutex> lock(lock_);
    if (rate_ == 0 || start_ + std::chrono::milliseconds(bytes_ * 1000 / rate_) <= Clock::now()) {
      RebaseLocked();
    }
  }

  // A new rate (0 = unlimited) from now on; a waiting Pace recomputes its wait.
  void SetRate(uint32_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(lock_);
    rate_ = bytesPerSecond;
    RebaseLocked();
    wake_.notify_all();
  }

  // The rate in effect (0 = unlimited).
  uint32_t Rate() {
    std::lock_guard<std::mutex> lock(lock_);
    return rate_;
  }

  void SetDeadline(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(lock_);
    deadline_ = deadline;
    ++generation_;
    wake_.notify_all();
  }

  Clock::time_point Deadline() {
    std::lock_guard<std::mutex> lock(lock_);
    return deadline_;
  }

  bool PastDeadline() {
    std::lock_guard<std::mutex> lock(lock_);
    return Clock::now() >= deadline_;
  }

  // Counts bytes just received and waits until they fit the rate. False when cancelled or past
  // the deadline.
  bool Pace(size_t bytes) {
    std::unique_lock<std::mutex> lock(lock_);
    bytes_ += bytes;
    for (;;) {
      if (cancelled_ || Clock::now() >= deadline_) return false;
      if (rate_ == 0) return true;
      const Clock::time_point due = start_ + std::chrono::milliseconds(bytes_ * 1000 / rate_);
      if (Clock::now() >= due) return true;
      const uint64_t generation = generation_;
      // Wakes for a cancel, a new rate or deadline, or when due; then looks again.
      wake_.wait_until(lock, due < deadline_ ? due : deadline_,
                       [&] { return cancelled_ || generation != generation_; });
    }
  }

  // Any thread: ends every wait, now and later.
  void Cancel() {
    std::lock_guard<std::mutex> lock(lock_);
    cancelled_ = true;
    wake_.notify_all();
  }

 private:
  void RebaseLocked() {
    bytes_ = 0;
    start_ = Clock::now();
    ++generation_;
  }

  std::mutex lock_;
  std::condition_variable wake_;
  bool cancelled_ = false;   // guarded by lock_
  uint32_t rate_ = 0;        // guarded by lock_
  uint64_t bytes_ = 0;       // guarded by lock_; counted since start_
  uint64_t generation_ = 0;  // guarded by lock_; grows with every change a wait must see
  Clock::time_point start_ = Clock::now();                 // guarded by lock_
  Clock::time_point deadline_ = Clock::time_point::max();  // guarded by lock_
};

}  // namespace zdl
