#include "telemetry/reporter.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/log.h"
#include "base/poll_until_done.h"
#include "platform/com_ref.h"
#include "telemetry/http_response_handler.h"

namespace lumo {
namespace {

constexpr int kAttempts = 2;
constexpr uint32_t kPostFlags = kZdlRequestBackground;
constexpr uint32_t kHttpOk = 200;
// Only the status matters; a collector's body is kept this far and the rest refused.
constexpr size_t kMaxKeptAnswerBytes = 4 * 1024;

}  // namespace

Reporter::Reporter() = default;

Reporter::Reporter(IZHttpService* http, std::string reportUrl, Timing timing) {
  state_ = State::kAttached;
  config_.http = http;
  config_.reportUrl = std::move(reportUrl);
  config_.timing = timing;
}

Reporter::~Reporter() { Stop(); }

Reporter& Reporter::Instance() {
  // Built in static storage and never destroyed: reporting sites may run during process exit,
  // and a stopped reporter holds no thread, so unloading the module is safe.
  alignas(Reporter) static unsigned char storage[sizeof(Reporter)];
  static Reporter* const instance = new (storage) Reporter();
  return *instance;
}

void Reporter::Attach(IZHttpService* http, std::string reportUrl, Timing timing) {
  MutexLock control(controlLock_);
  EndSender(/*final=*/false);
  MutexLock hold(lock_);
  config_.http = http;
  config_.reportUrl = std::move(reportUrl);
  config_.timing = timing;
  state_ = State::kAttached;
  // Bodies reported before the attachment go out now.
  StartSenderLocked();
}

void Reporter::Stop() {
  MutexLock control(controlLock_);
  EndSender(/*final=*/true);
}

void Reporter::EndSender(bool final) {
  std::thread sender;
  {
    MutexLock hold(lock_);
    if (state_ == State::kAttached) {
      state_ = State::kUnattached;  // no new sender until the caller attaches again
    }
    if (sender_.joinable()) {
      stopping_ = true;
      flushing_ = final;
      stopAsked_ = std::chrono::steady_clock::now();
      sender = std::move(sender_);
    }
  }
  wake_.NotifyAll();
  if (sender.joinable()) {
    if (sender.get_id() == std::this_thread::get_id()) {
      sender.detach();
    } else {
      sender.join();
    }
  }
  MutexLock hold(lock_);
  stopping_ = false;
  flushing_ = false;
  if (final) {
    queue_.clear();
    queuedBytes_ = 0;
    state_ = State::kStopped;
  }
}

void Reporter::StartSenderLocked() {
  if (state_ != State::kAttached || sender_.joinable() || queue_.empty()) return;
  try {
    sender_ = std::thread(&Reporter::SenderLoop, this);
  } catch (...) {
    // No thread now: the bodies stay queued and the next report tries again.
  }
}

void Reporter::Enqueue(std::string body) {
  if (body.empty()) return;
  try {
    {
      MutexLock hold(lock_);
      if (state_ == State::kStopped) return;
      queuedBytes_ += body.size();
      queue_.push_back(std::move(body));
      // A collector that never answers must not grow the queue without limit: the oldest go.
      while (queue_.size() > 1 &&
             (queue_.size() > kMaxQueuedReports || queuedBytes_ > kMaxQueuedReportBytes)) {
        queuedBytes_ -= queue_.front().size();
        queue_.pop_front();
        ++dropped_;
      }
      StartSenderLocked();
    }
    wake_.NotifyAll();
  } catch (...) {
    // Telemetry never fails its caller.
  }
}

void Reporter::EnqueueException(ExceptionEvent event) {
  try {
    event.eventType = kEventRunningException;
    Enqueue(event.ToForm());
  } catch (...) {
  }
}

void Reporter::EnqueueModuleVersion(ModuleVersionEvent event) {
  try {
    event.eventType = kEventModuleVersion;
    Enqueue(event.ToForm());
  } catch (...) {
  }
}

void Reporter::EnqueueStatistics(StatisticsEvent event) {
  try {
    event.eventType = kEventDownloadStatistics;
    Enqueue(event.ToForm());
  } catch (...) {
  }
}

size_t Reporter::PendingForTest() const {
  MutexLock hold(lock_);
  return queue_.size() + (inFlight_ ? 1 : 0);
}

uint64_t Reporter::DroppedForTest() const {
  MutexLock hold(lock_);
  return dropped_;
}

bool Reporter::GraceOverLocked(const SenderConfig& config) const {
  return stopping_ && Clock::now() >= stopAsked_ + config.timing.senderStop;
}

bool Reporter::GraceOver(const SenderConfig& config) const {
  MutexLock hold(lock_);
  return GraceOverLocked(config);
}

void Reporter::SenderLoop() {
  SenderConfig config;
  try {
    MutexLock hold(lock_);
    config = config_;
  } catch (...) {
    return;
  }
  for (;;) {
    try {
      if (!SenderStep(config)) return;
    } catch (...) {
      // Out of memory while copying a body, most likely: pause before the next look.
      try {
        MutexLock hold(lock_);
        WaitForWork(Clock::now() + config.timing.senderIdle, /*forBody=*/false);
        if (stopping_) return;
      } catch (...) {
        return;
      }
    }
  }
}

bool Reporter::SenderStep(const SenderConfig& config) {
  std::string body;
  uint64_t newlyDropped = 0;
  {
    MutexLock hold(lock_);
    WaitForWork(Clock::now() + config.timing.senderIdle, /*forBody=*/true);
    // A final stop lets the queue go out within the grace period; any other stop ends here.
    if (stopping_ && (!flushing_ || queue_.empty() || GraceOverLocked(config))) return false;
    if (queue_.empty()) return true;
    body = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= body.size();
    inFlight_ = true;
    newlyDropped = dropped_ - droppedLogged_;
    droppedLogged_ = dropped_;
  }
  // Dropped bodies count once, in one line, however many went since the last line.
  if (newlyDropped > 0) {
    try {
      WriteLog(LogLevel::kWarn, "Telemetry queue full, oldest reports dropped: %llu",
               static_cast<unsigned long long>(newlyDropped));
    } catch (...) {
    }
  }
  bool delivered = false;
  for (int attempt = 0; attempt < kAttempts && !delivered && !GraceOver(config); ++attempt) {
    try {
      delivered = PostForm(config, body);
    } catch (...) {
      delivered = false;  // counts as a failed attempt
    }
  }
  if (delivered) delivered_.fetch_add(1);
  // Delivered or not, the body has had its chances.
  MutexLock hold(lock_);
  inFlight_ = false;
  return !stopping_ || flushing_;
}

bool Reporter::PostForm(const SenderConfig& config, const std::string& body) {
  if (config.http == nullptr) return false;
  // Declared before the request so that the request is released first.
  const auto handler =
      ComRef<HttpResponseHandler>::Share(HttpResponseHandler::Create(kMaxKeptAnswerBytes));
  if (!handler) return false;

  ComRef<IZHttpRequest> request;
  const int32_t createResult = config.http->CreateRequest(
      kPostFlags, kZdlMethodPost, config.reportUrl.c_str(), handler.Get(), 0, request.Out());
  if (createResult < 0 || !request) return false;

  request->SetHeader(kReportContentTypeHeader, kReportContentType);
  request->SetBody(body.data(), static_cast<uint32_t>(body.size()));
  if (request->Send() < 0) return false;

  // The engine answers on its own threads: look at the handler every telemetryLook until it is
  // done, within the bound of telemetryPolls polls.
  const PollSchedule schedule{config.timing.telemetryPoll, config.timing.telemetryLook,
                              config.timing.telemetryPolls, true};
  int64_t status = -1;
  {
    MutexLock hold(lock_);
    answered_ = false;
  }
  // Without the engine's notification the looks alone find the end.
  ComRef<IZCompletionNotify> notify;
  if (request->QueryInterface(&IID_IZCompletionNotify, notify.OutVoid()) < 0 || !notify ||
      notify->SetCompletionNotify(&Reporter::OnAnswered, this) < 0) {
    notify.Reset();
  }
  PollUntilDone(
      schedule, [&](PollClock::time_point at) { return PollPause(config, at); },
      [&] {
        handlerPolls_.fetch_add(1);
        const bool done = handler->Done();
        status = handler->Status();
        return done;
      });
  if (notify) notify->SetCompletionNotify(nullptr, nullptr);
  handler->Abandon();  // an answer still coming after the wait ends at its next data
  return status == kHttpOk;
}

bool Reporter::PollPause(const SenderConfig& config, Clock::time_point lookAt) {
  MutexLock hold(lock_);
  WaitForWork(lookAt, /*forBody=*/false);
  if (!stopping_) {
    answered_ = false;  // the look that follows sees the end
    return true;
  }
  // Stopping: the request in flight may still finish, but only within the grace period.
  const Clock::time_point graceEnd = stopAsked_ + config.timing.senderStop;
  const Clock::time_point until = std::min(lookAt, graceEnd);
  while (!answered_ && wake_.WaitUntil(lock_, until)) {
  }
  answered_ = false;
  return Clock::now() < graceEnd;
}

void Reporter::WaitForWork(Clock::time_point deadline, bool forBody) {
  while (!stopping_ && !(forBody && !queue_.empty()) && !(!forBody && answered_)) {
    if (!wake_.WaitUntil(lock_, deadline)) return;
  }
}

void Reporter::OnAnswered(void* context) {
  auto* self = static_cast<Reporter*>(context);
  {
    MutexLock hold(self->lock_);
    self->answered_ = true;
  }
  self->wake_.NotifyAll();
}

}  // namespace lumo
