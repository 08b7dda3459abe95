#include "base/signal.h"

namespace lumo {

void Signal::Raise() {
  {
    MutexLock lock(mutex_);
    raised_ = true;
    for (Signal* watcher : watchers_) watcher->Raise();
  }
  cv_.NotifyAll();
  if (forward_ != nullptr) forward_->Raise();
}

void Signal::Watch(Signal* watcher) const {
  MutexLock lock(mutex_);
  watchers_.push_back(watcher);
  if (raised_) watcher->Raise();
}

void Signal::Unwatch(Signal* watcher) const {
  MutexLock lock(mutex_);
  watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

void Signal::Clear() {
  MutexLock lock(mutex_);
  raised_ = false;
}

bool Signal::IsRaised() const {
  MutexLock lock(mutex_);
  return raised_;
}

bool Signal::WaitFor(std::chrono::milliseconds timeout) const {
  const Clock::time_point now = Clock::now();
  // A timeout past the clock's end waits for the raise alone.
  const bool endless = timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(
                                      Clock::time_point::max() - now);
  return WaitUntil(endless ? Clock::time_point::max() : now + timeout);
}

bool Signal::WaitUntil(Clock::time_point deadline) const {
  MutexLock lock(mutex_);
  while (!raised_) {
    if (!cv_.WaitUntil(mutex_, deadline)) return raised_;
  }
  return true;
}

}  // namespace lumo
