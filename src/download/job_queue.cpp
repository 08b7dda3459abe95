#include "download/job_queue.h"

namespace lumo {

void JobQueue::PushBack(const DownloadJob& job) {
  MutexLock lock(mutex_);
  jobs_.push_back(job);
}

bool JobQueue::IsEmpty() const {
  MutexLock lock(mutex_);
  return jobs_.empty();
}

size_t JobQueue::Size() const {
  MutexLock lock(mutex_);
  return jobs_.size();
}

bool JobQueue::CopyFront(DownloadJob* out) const {
  MutexLock lock(mutex_);
  if (jobs_.empty()) return false;
  *out = jobs_.front();
  return true;
}

void JobQueue::FinishFront(const DownloadJob* requeue) {
  MutexLock lock(mutex_);
  if (!jobs_.empty()) jobs_.pop_front();
  if (requeue != nullptr) jobs_.push_back(*requeue);
}

}  // namespace lumo
