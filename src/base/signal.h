// A latching flag with an interruptible wait, the one way threads of the module wake each other.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

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
  // Until Unwatch, a Raise of this signal raises watcher too (at once when raised already), so
  // one wait on watcher also ends on this signal. watcher never raises this signal back.
  void Watch(Signal* watcher) const;
  void Unwatch(Signal* watcher) const;

 private:
  mutable Mutex mutex_;
  mutable CondVar cv_;
  bool raised_ GUARDED_BY(mutex_) = false;
  // Raised under mutex_, so Unwatch returns only when no Raise still reaches the watcher.
  mutable std::vector<Signal*> watchers_ GUARDED_BY(mutex_);
  Signal* forward_ = nullptr;  // fixed before the threads start
};

}  // namespace lumo
