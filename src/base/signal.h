// A latching flag with an interruptible wait, the one way threads of the module wake each other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumo {

// A latching flag with an interruptible wait: once raised it stays raised until cleared.
class Signal {
 public:
  using Clock = std::chrono::steady_clock;

  void Raise();
  void Clear();
  bool IsRaised() const;
  // Waits until raised or the timeout passes; true when raised.
  bool WaitFor(std::chrono::milliseconds timeout) const;
  // Waits until raised or the clock reaches deadline; true when raised.
  bool WaitUntil(Clock::time_point deadline) const;
  // Every later Raise of this signal raises other too (set up before any thread waits; other
  // must outlive this signal).
  void ForwardTo(Signal* other) { forward_ = other; }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool raised_ = false;        // guarded by mutex_
  Signal* forward_ = nullptr;  // fixed before the threads start
};

}  // namespace lumo
