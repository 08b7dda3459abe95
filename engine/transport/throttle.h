// Keeps a transfer at or below a byte rate by holding the receiving thread, for transports
// whose stack has no reliable limit of its own. Shared by both transports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zdl {

class Throttle {
 public:
  // Starts a new exchange at this rate (0 = unlimited).
  void Reset(uint32_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(lock_);
    rate_ = bytesPerSecond;
    bytes_ = 0;
    start_ = std::chrono::steady_clock::now();
  }

  // Counts bytes just received and waits until they fit the rate. False when cancelled.
  bool Pace(size_t bytes) {
    std::unique_lock<std::mutex> lock(lock_);
    if (cancelled_) return false;
    if (rate_ == 0) return true;
    bytes_ += bytes;
    auto due = start_ + std::chrono::milliseconds(bytes_ * 1000 / rate_);
    wake_.wait_until(lock, due, [this] { return cancelled_; });
    return !cancelled_;
  }

  // Any thread: ends every wait, now and later.
  void Cancel() {
    std::lock_guard<std::mutex> lock(lock_);
    cancelled_ = true;
    wake_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  bool cancelled_ = false;  // guarded by lock_
  uint32_t rate_ = 0;       // guarded by lock_
  uint64_t bytes_ = 0;      // guarded by lock_
  std::chrono::steady_clock::time_point start_;  // guarded by lock_
};

}  // namespace zdl
