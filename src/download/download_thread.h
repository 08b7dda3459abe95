// The worker thread's loop: once per worker poll it looks at the queue, runs the head job and
// decides what becomes of it (removed, put back once at the tail, or kept at the head).
#pragma once

#include <cstdint>

#include "module/job_queue.h"
#include "module/timing.h"

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
