#include "support/fake_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <tuple>

namespace lumo {
namespace testing {
namespace {

std::u16string ToU16(const ZdlWChar* text) {
  std::u16string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

// The reference count of every fake object; Done runs at zero (the services never reach it
// while the engine lives). No fake offers another interface, so waits fall back on polling.
template <typename Interface>
class FakeObject : public Interface {
 public:
  explicit FakeObject(FakeEngine* engine) : engine_(engine) {}
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid*, void**) override { return kZdlNoInterface; }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs_; }
  uint32_t ZDL_STDCALL Release() override {
    const uint32_t left = --refs_;
    if (left == 0) Done();
    return left;
  }

 protected:
  virtual void Done() {}
  FakeEngine* engine_;
  std::atomic<uint32_t> refs_{1};
};

class FakeSession final : public FakeObject<IZDownloadSession> {
 public:
  FakeSession(FakeEngine* engine, FakeSessionScript script)
      : FakeObject(engine), script_(std::move(script)) {}

  int32_t ZDL_STDCALL GetOption(int32_t id, void* value, uint32_t* size) override {
    if (id != kZdlOptionFailureDetail || !script_.failureDetail || size == nullptr) return kZdlFail;
    const std::string detail = script_.failureDetail;
    const bool fits = value != nullptr && *size >= detail.size();
    if (fits) std::memcpy(value, detail.data(), detail.size());
    *size = static_cast<uint32_t>(detail.size());
    return fits ? kZdlOk : kZdlInvalidArg;
  }
  int32_t ZDL_STDCALL SetOption(int32_t id, const void*, uint32_t size) override {
    engine_->Log("SetOption " + std::to_string(id) + " " + std::to_string(size));
    return started_ ? script_.runningOptionStatus : kZdlOk;
  }
  int32_t ZDL_STDCALL Start() override {
    started_ = true;  // before the log line a test may be waiting for
    engine_->Log("Start");
    return script_.startStatus;
  }
  int32_t ZDL_STDCALL Abort() override { return Stop("Abort"); }
  int32_t ZDL_STDCALL Pause() override { return Stop("Pause"); }
  int32_t ZDL_STDCALL GetStatus(int32_t* status, uint64_t* total, uint64_t* downloaded,
                                uint32_t* averageSpeed, uint32_t* currentSpeed) override {
    engine_->Log("GetStatus");
    const size_t index = pollIndex_++;
    if (script_.onPoll) script_.onPoll(index);
    FakePoll poll = script_.polls.at(std::min(index, script_.polls.size() - 1));
    if (aborted_) poll = FakePoll{kZdlStatusError, poll.total, poll.downloaded, 0, 0};
    std::tie(*status, *total, *downloaded, *averageSpeed, *currentSpeed) =
        std::tie(poll.status, poll.total, poll.downloaded, poll.averageSpeed, poll.currentSpeed);
    return kZdlOk;
  }
  int32_t ZDL_STDCALL GetResult(int32_t* result, int32_t* extendedCode) override {
    engine_->Log("GetResult");
    *result = aborted_ ? kZdlResultAborted : script_.result;
    *extendedCode = aborted_ ? 0 : script_.extendedCode;
    return kZdlOk;
  }
  int32_t ZDL_STDCALL GetFileInfo(ZdlFileInfo* info) override {
    *info = ZdlFileInfo{100, 100, 0, 1000};
    return kZdlOk;
  }

 private:
  int32_t Stop(const char* call) {
    engine_->Log(call);
    aborted_ = true;
    return kZdlOk;
  }
  void Done() override {
    engine_->Log("ReleaseSession", &FakeEngineRecord::liveSessions);
    delete this;
  }

  FakeSessionScript script_;
  std::atomic<size_t> pollIndex_{0};
  std::atomic<bool> aborted_{false}, started_{false};
};

class FakeRequest final : public FakeObject<IZHttpRequest> {
 public:
  FakeRequest(FakeEngine* engine, size_t index, IZHttpResponseHandler* handler,
              FakeHttpAnswer answer)
      : FakeObject(engine), index_(index), handler_(handler), answer_(answer) {
    if (handler_) handler_->AddRef();
  }

  int32_t ZDL_STDCALL SetHeader(const char*, const char*) override { return kZdlOk; }
  int32_t ZDL_STDCALL SetBody(const void* data, uint32_t length) override {
    engine_->Log("SetBody " + std::to_string(length));
    engine_->Locked([&] {
      engine_->seen.httpRequests[index_].body.assign(static_cast<const char*>(data), length);
    });
    return kZdlOk;
  }
  int32_t ZDL_STDCALL Send() override {
    engine_->Log("Send");
    if (answer_.sendStatus < 0) return answer_.sendStatus;
    IZHttpResponseHandler* handler = handler_;
    handler_ = nullptr;  // the delivery thread owns that reference now
    engine_->Locked([&] {
      engine_->deliveries.emplace_back(
          [engine = engine_, handler, answer = answer_] { Deliver(engine, handler, answer); });
    });
    return kZdlOk;
  }

 private:
  static void Deliver(FakeEngine* engine, IZHttpResponseHandler* handler,
                      const FakeHttpAnswer& answer) {
    auto stopping = [engine] { return engine->shuttingDown; };
    {
      std::unique_lock<std::mutex> wait(engine->mutex);
      engine->changed.wait_for(wait, answer.delay, stopping);
    }
    if (handler == nullptr) return;
    handler->OnBegin();
    if (answer.sendStatusCode) handler->OnStatusCode(answer.status);
    if (!answer.body.empty()) {
      handler->OnData(answer.body.data(), static_cast<uint32_t>(answer.body.size()));
    }
    if (answer.incomplete) handler->OnNotify(kZdlNotifyIncomplete, kZdlResultNetwork, 0, 0);
    if (answer.complete) {
      handler->OnComplete();
    } else {
      // Holds the handler until the engine shuts down, like a request that never ends.
      std::unique_lock<std::mutex> wait(engine->mutex);
      engine->changed.wait(wait, stopping);
    }
    handler->Release();
  }
  void Done() override {
    if (handler_) handler_->Release();
    engine_->Log("ReleaseRequest", &FakeEngineRecord::liveRequests);
    delete this;
  }

  size_t index_;
  IZHttpResponseHandler* handler_;
  FakeHttpAnswer answer_;
};

class FakeDownloadService final : public FakeObject<IZDownloadService> {
 public:
  using FakeObject::FakeObject;
  int32_t ZDL_STDCALL CreateSession(const char* url, const ZdlWChar* checksumPath,
                                    const ZdlWChar* saveDir, const ZdlWChar*,
                                    IZDownloadSession** session) override {
    engine_->Log(std::string("CreateSession ") + url);
    FakeSessionScript script = engine_->Locked([&] {
      engine_->seen.sessionRequests.push_back(
          FakeSessionRequest{url, checksumPath == nullptr, ToU16(checksumPath), ToU16(saveDir)});
      std::deque<FakeSessionScript>& queue = engine_->sessionQueue;
      if (queue.empty()) return engine_->defaultSession;
      FakeSessionScript next = queue.front();
      queue.pop_front();
      return next;
    });
    if (script.createStatus < 0 && !script.sessionOnCreateFailure) return script.createStatus;
    engine_->Locked([&] { ++engine_->seen.liveSessions; });
    const int32_t status = script.createStatus;
    *session = new FakeSession(engine_, std::move(script));
    return status;
  }
};

class FakeHttpService final : public FakeObject<IZHttpService> {
 public:
  using FakeObject::FakeObject;
  int32_t ZDL_STDCALL CreateRequest(uint32_t, int32_t method, const char* url,
                                    IZHttpResponseHandler* handler, uint32_t,
                                    IZHttpRequest** request) override {
    engine_->Log("CreateRequest " + std::to_string(method) + " " + url);
    const FakeHttpRequestRecord record{method, url, ""};
    size_t index = 0;
    auto responder = engine_->Locked([&] {
      index = engine_->seen.httpRequests.size();
      engine_->seen.httpRequests.push_back(record);
      return engine_->responder;
    });
    FakeHttpAnswer answer = responder ? responder(record) : FakeHttpAnswer{};
    if (answer.createStatus < 0) return answer.createStatus;
    engine_->Locked([&] { ++engine_->seen.liveRequests; });
    *request = new FakeRequest(engine_, index, handler, std::move(answer));
    return kZdlOk;
  }
};

}  // namespace

FakeEngine::FakeEngine()
    : downloads_(new FakeDownloadService(this)), http_(new FakeHttpService(this)) {}

FakeEngine::~FakeEngine() {
  std::vector<std::thread> pending = Locked([this] {
    shuttingDown = true;
    return std::move(deliveries);
  });
  changed.notify_all();
  for (auto& thread : pending) thread.join();
  delete static_cast<FakeDownloadService*>(downloads_);
  delete static_cast<FakeHttpService*>(http_);
}

void FakeEngine::Log(const std::string& call, size_t FakeEngineRecord::*live) {
  Locked([&] {
    if (terminated) ++seen.callsAfterTerm;
    seen.calls.push_back((terminated ? "AfterTerm " : "") + call);
    if (live != nullptr) --(seen.*live);
  });
  changed.notify_all();
}

size_t FakeEngine::CountCalls(const std::string& prefix) const {
  size_t n = 0;
  for (const std::string& call : Seen().calls) n += call.rfind(prefix, 0) == 0;
  return n;
}

bool FakeEngine::WaitUntil(const std::function<bool()>& pred,
                           std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Re-check at least every few milliseconds: pred may depend on state outside the engine.
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testing
}  // namespace lumo
