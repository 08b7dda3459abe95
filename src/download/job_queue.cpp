#include "download/job_queue.h"

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

}  // namespace lumo
