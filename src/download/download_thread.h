// The worker thread's loop: it looks at the queue when woken (a job queued, Start, Resume,
// Stop), right after a job ends, and at least once per worker poll; runs the head job and
// decides what becomes of it (removed, put back once at the tail, or kept at the head).
#pragma once

#include <cstdint>

#include "download/job_queue.h"
#include "base/timing.h"

namespace lumo {

class DownloadWorker;

struct DownloadThreadContext {
  JobQueue& queue;
  ControlWords& control;
  DownloadWorker& worker;
  const Timing& timing;
};

// Started by LumoDownloader after the first Start released it. Returns 0 when it sees
// ControlState 3 (also while the queue is empty) or control.quit raised. Never throws.
uint32_t RunDownloadThread(DownloadThreadContext& context);

}  // namespace lumo
