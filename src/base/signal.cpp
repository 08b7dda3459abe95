#include "base/signal.h"

namespace lumo {

void Signal::Raise() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = true;
  }
  cv_.notify_all();
  if (forward_ != nullptr) forward_->Raise();
}

void Signal::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  raised_ = false;
}

bool Signal::IsRaised() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return raised_;
}

bool Signal::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return raised_; });
}

bool Signal::WaitUntil(Clock::time_point deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_until(lock, deadline, [this] { return raised_; });
}

}  // namespace lumo
