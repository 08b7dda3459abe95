// The downloader's job queue and the words through which the host and the worker thread steer
// each other. The queue lock guards the jobs and nothing else; it is never held while a job runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>

#include "base/download_job.h"
#include "base/signal.h"
#include "platform/mutex.h"

namespace lumo {

class JobQueue {
 public:
  void PushBack(const DownloadJob& job);
  bool IsEmpty() const;
  size_t Size() const;
  // Copies the head job; false when the queue is empty.
  bool CopyFront(DownloadJob* out) const;
  // Under one lock: removes the head (if any) and, when requeue is given, appends it at the back.
  void FinishFront(const DownloadJob* requeue);

 private:
  mutable Mutex mutex_;
  std::deque<DownloadJob> jobs_ GUARDED_BY(mutex_);
};

// ControlState values.
enum ControlStateValue : uint32_t {
  kControlInitial = 0,
  kControlResumed = 1,
  kControlPaused = 2,
  kControlQuit = 3,
};

struct ControlWords {
  ControlWords() { quit.ForwardTo(&wake); }
  ControlWords(const ControlWords&) = delete;
  ControlWords& operator=(const ControlWords&) = delete;

  std::atomic<uint32_t> runState{0};      // LumoRunState: written by host calls and the worker
  std::atomic<uint32_t> controlState{0};  // ControlStateValue: written by the host (and disk pauses)
  // Something the idle worker should see now (a job queued, Start, Resume, Stop, quit): it
  // looks at the queue at once instead of at the end of its poll. The worker clears it.
  Signal wake;
  Signal quit;  // raised by the downloader's destruction: the thread ends at once
};

}  // namespace lumo
