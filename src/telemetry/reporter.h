// The report sender: reporting sites append form bodies to one process-wide queue and return;
// a sender thread posts them one at a time, in queue order, through the engine's HTTP service.
//
// Lifecycle of the process-wide instance:
//   - Reports made before the first Attach are queued and go out once a sender is attached
//     (the MODULE_VERSION event of Start may come before the engine is bound).
//   - Attach binds the HTTP service and the endpoint; the sender thread starts with the first
//     report after it.
//   - Stop (called by the downloader's destruction before it releases the HTTP service and
//     terminates the engine) flushes: the sender goes on posting what is queued for at most
//     timing.senderStop, then drops the rest and the thread is joined. From then on reports
//     are dropped quietly until the next Attach. After Stop the sender makes no call into the
//     engine and runs no code, so the engine and the module may go away.
//   - The queue is bounded (kMaxQueuedReports bodies, kMaxQueuedReportBytes bytes): a full
//     queue drops its oldest bodies, and the sender logs how many before its next post.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "base/timing.h"
#include "platform/mutex.h"
#include "telemetry/events.h"
#include "zdl/zdl_engine.h"

namespace lumo {

inline constexpr char kReportContentTypeHeader[] = "Content-Type";
inline constexpr char kReportContentType[] = "application/x-www-form-urlencoded;charset=utf-8";
inline constexpr size_t kMaxQueuedReports = 1000;
inline constexpr size_t kMaxQueuedReportBytes = 4u * 1024 * 1024;

class Reporter {
 public:
  // An attached sender (tests); the thread starts with the first report.
  Reporter(IZHttpService* http, std::string reportUrl, Timing timing);
  ~Reporter();  // Stop()
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // The process-wide reporter, created on first use by any thread and never destroyed.
  static Reporter& Instance();

  // Binds the engine's HTTP service (borrowed: the caller keeps it alive until Stop) and the
  // endpoint. Accepted also after Stop. Attaching an attached reporter restarts its sender with
  // the new values and keeps the queue.
  void Attach(IZHttpService* http, std::string reportUrl, Timing timing) EXCLUDES(controlLock_);
  // See above. Safe to call more than once and on a reporter that was never attached.
  void Stop() EXCLUDES(controlLock_);

  // An empty body is ignored. Never throws, never blocks on delivery.
  void Enqueue(std::string body) EXCLUDES(lock_);
  // Set the event type ("RUNNING_EXCEPTION", "MODULE_VERSION", "DOWNLOAD_STATISTICS"),
  // encode on the caller's thread and enqueue.
  void EnqueueException(ExceptionEvent event);
  void EnqueueModuleVersion(ModuleVersionEvent event);
  void EnqueueStatistics(StatisticsEvent event);

  // Bodies queued, the one in flight included.
  size_t PendingForTest() const;
  // Bodies dropped from a full queue so far.
  uint64_t DroppedForTest() const;
  // Looks at response handlers so far (each look of a wait counts one).
  uint64_t HandlerPollsForTest() const { return handlerPolls_.load(); }
  // Bodies the server answered with 200.
  uint64_t DeliveredForTest() const { return delivered_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { kUnattached, kAttached, kStopped };

  // What the sender thread works with, copied when it starts.
  struct SenderConfig {
    IZHttpService* http = nullptr;
    std::string reportUrl;
    Timing timing;
  };

  Reporter();  // unattached: the process-wide instance

  // Ends the sender thread and joins it. final: the sender first flushes the queue for up to
  // timing.senderStop, then the state is kStopped with an empty queue; otherwise only the body
  // in flight gets that grace and the state is kUnattached with the queue kept.
  void EndSender(bool final) REQUIRES(controlLock_) EXCLUDES(lock_);
  // Starts the sender when attached, bodies wait and none runs.
  void StartSenderLocked() REQUIRES(lock_);
  void SenderLoop();
  // Takes and delivers the front body; false when the sender must end.
  bool SenderStep(const SenderConfig& config);
  // One post of body; true when the server answered 200.
  bool PostForm(const SenderConfig& config, const std::string& body);
  // Sleeps until the next look at the handler; false when a stop was asked and its grace period
  // is over.
  bool PollPause(const SenderConfig& config, Clock::time_point lookAt) EXCLUDES(lock_);
  // A stop was asked and its grace period is over.
  bool GraceOverLocked(const SenderConfig& config) const REQUIRES(lock_);
  bool GraceOver(const SenderConfig& config) const EXCLUDES(lock_);
  // Waits until a stop is asked (or, forBody, the queue holds a body) or deadline passes.
  void WaitForWork(Clock::time_point deadline, bool forBody) REQUIRES(lock_);
  // The engine's notification that the request in flight has ended (when it offers one).
  static void ZDL_CDECL OnAnswered(void* context);

  Mutex controlLock_ ACQUIRED_BEFORE(lock_);  // serialises Attach and Stop (held while joining)

  mutable Mutex lock_;
  CondVar wake_;                                     // queue grew, or a stop was asked
  std::deque<std::string> queue_ GUARDED_BY(lock_);  // waiting bodies, oldest first
  size_t queuedBytes_ GUARDED_BY(lock_) = 0;
  bool inFlight_ GUARDED_BY(lock_) = false;  // the sender holds a body
  uint64_t dropped_ GUARDED_BY(lock_) = 0;   // dropped from a full queue
  uint64_t droppedLogged_ GUARDED_BY(lock_) = 0;
  State state_ GUARDED_BY(lock_) = State::kUnattached;
  bool stopping_ GUARDED_BY(lock_) = false;  // the sender is asked to end
  bool answered_ GUARDED_BY(lock_) = false;  // the engine ended the request in flight
  bool flushing_ GUARDED_BY(lock_) = false;  // ... after the queue's flush
  std::chrono::steady_clock::time_point stopAsked_ GUARDED_BY(lock_);
  SenderConfig config_ GUARDED_BY(lock_);
  std::thread sender_ GUARDED_BY(lock_);
  std::atomic<uint64_t> handlerPolls_{0};            // written by the sender, read by tests
  std::atomic<uint64_t> delivered_{0};               // written by the sender, read by tests
};

}  // namespace lumo
