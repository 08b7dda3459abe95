// A latching flag with an interruptible wait, the one way threads of the module wake each other.
#pragma once

#include <chrono>

#include "platform/mutex.h"

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
  mutable Mutex mutex_;
  mutable CondVar cv_;
  bool raised_ GUARDED_BY(mutex_) = false;
  Signal* forward_ = nullptr;  // fixed before the threads start
};

}  // namespace lumo
