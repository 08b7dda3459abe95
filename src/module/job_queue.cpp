#include "module/job_queue.h"

namespace lumo {

void JobQueue::PushBack(const DownloadJob& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(job);
}

bool JobQueue::IsEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.empty();
}

size_t JobQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

bool JobQueue::CopyFront(DownloadJob* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (jobs_.empty()) return false;
  *out = jobs_.front();
  return true;
}

void JobQueue::FinishFront(const DownloadJob* requeue) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!jobs_.empty()) jobs_.pop_front();
  if (requeue != nullptr) jobs_.push_back(*requeue);
}

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
