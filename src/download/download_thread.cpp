#include "download/download_thread.h"

#include <exception>

#include "download/download_worker.h"
#include "lumo/lumo_downloader.h"
#include "base/log.h"

namespace lumo {
namespace {

constexpr uint32_t kThreadExitOk = 0;
constexpr uint32_t kThreadExitError = 1;

enum class Step { kContinue, kJobEnded, kQuit };

// Runs the head job and settles the queue after it.
void RunHeadJob(DownloadThreadContext& c, DownloadJob& job) {
  DownloadResult result{kZdlResultGeneral, 0};
  try {
    result = c.worker.RunFile(job);
  } catch (const std::exception& e) {
    WriteLog(LogLevel::kError, "Download job ended by an internal error: %s", e.what());
  } catch (...) {
    WriteLog(LogLevel::kError, "Download job ended by an internal error: ");
  }
  if (!c.worker.Running()) return;  // paused or stopped: the job stays first, not a run
  if (IsDiskFailure(result)) {
    c.control.runState.store(RunStateForDiskFailure(result.extendedCode));
    c.control.controlState.store(kControlPaused);
    return;
  }
  if (result.code != kZdlResultSuccess && job.retryCount < 1) {
    ++job.retryCount;
    c.queue.FinishFront(&job);
    c.worker.NoteQueued(job);
  } else {
    c.queue.FinishFront(nullptr);
  }
}

// One look at the queue, after a wait for a wake-up of at most one worker poll unless lookNow
// (a job just ended: whatever is queued behind it starts at once).
Step PollOnce(DownloadThreadContext& c, bool lookNow) {
  if (!lookNow) c.control.wake.WaitFor(c.timing.workerPoll);
  // Cleared before the look: a job queued after it raises the signal again for the next wait.
  c.control.wake.Clear();
  if (c.control.quit.IsRaised()) return Step::kQuit;
  if (c.queue.IsEmpty()) {
    c.control.runState.store(kLumoRunStateIdle);
    return c.control.controlState.load() == kControlQuit ? Step::kQuit : Step::kContinue;
  }
  c.worker.ArmForJob();
  const uint32_t control = c.control.controlState.load();
  if (control == kControlPaused) return Step::kContinue;
  if (control == kControlQuit) return Step::kQuit;
  c.control.runState.store(kLumoRunStateRunning);
  DownloadJob job;
  if (!c.queue.CopyFront(&job)) return Step::kContinue;
  RunHeadJob(c, job);
  return Step::kJobEnded;
}

}  // namespace

uint32_t RunDownloadThread(DownloadThreadContext& context) {
  try {
    WriteLog(LogLevel::kInfo, "Download thread started.");
    context.worker.RefreshStatus(nullptr);
    Step step = Step::kContinue;
    while (step != Step::kQuit) step = PollOnce(context, step == Step::kJobEnded);
    context.worker.RefreshStatus(nullptr);
    return kThreadExitOk;
  } catch (const std::exception& e) {
    WriteLog(LogLevel::kError, "Download thread ended by an internal error: %s", e.what());
  } catch (...) {
    WriteLog(LogLevel::kError, "Download thread ended by an internal error: ");
  }
  return kThreadExitError;
}

}  // namespace lumo
