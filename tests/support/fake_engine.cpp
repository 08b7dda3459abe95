#include "support/fake_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace lumo {
namespace testing {

struct FakeEngine::Impl {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> calls;
  std::deque<FakeSessionScript> sessionQueue;
  FakeSessionScript defaultSession;
  std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder;
  std::vector<FakeSessionRequest> sessionRequests;
  std::vector<FakeHttpRequestRecord> httpRequests;
  size_t liveSessions = 0;
  size_t liveRequests = 0;
  bool terminated = false;
  size_t callsAfterTerm = 0;
  bool shuttingDown = false;
  std::vector<std::thread> deliveries;
  IZDownloadService* downloadService = nullptr;
  IZHttpService* httpService = nullptr;

  template <typename F>
  auto Locked(F f) const {
    std::lock_guard<std::mutex> lock(mutex);
    return f();
  }
  void Count(size_t Impl::*counter, int delta) {
    Locked([&] { return this->*counter += delta; });
    changed.notify_all();
  }
};

namespace {

bool SameGuid(const ZdlGuid* a, const ZdlGuid& b) {
  return a != nullptr && std::memcmp(a, &b, sizeof b) == 0;
}

std::u16string ToU16(const ZdlWChar* text) {
  std::u16string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

// QueryInterface and the reference count of every fake object; Done runs at zero (the
// services never reach it while the engine lives).
template <typename Interface>
class FakeObject : public Interface {
 public:
  explicit FakeObject(const ZdlGuid& iid) : iid_(iid) {}
  virtual ~FakeObject() = default;
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, iid_)) return kZdlNoInterface;
    *out = static_cast<Interface*>(this);
    AddRef();
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs_; }
  uint32_t ZDL_STDCALL Release() override {
    const uint32_t left = --refs_;
    if (left == 0) Done();
    return left;
  }

 protected:
  virtual void Done() {}
  const ZdlGuid& iid_;
  std::atomic<uint32_t> refs_{1};
};

class FakeSession final : public FakeObject<IZDownloadSession> {
 public:
  FakeSession(FakeEngine* engine, FakeEngine::Impl* impl, FakeSessionScript script)
      : FakeObject(IID_IZDownloadSession),
        engine_(engine),
        impl_(impl),
        script_(std::move(script)) {}

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
    FakePoll poll = script_.polls.empty()
                        ? FakePoll{}
                        : script_.polls[std::min(index, script_.polls.size() - 1)];
    if (aborted_) poll = FakePoll{kZdlStatusError, poll.total, poll.downloaded, 0, 0};
    if (status) *status = poll.status;
    if (total) *total = poll.total;
    if (downloaded) *downloaded = poll.downloaded;
    if (averageSpeed) *averageSpeed = poll.averageSpeed;
    if (currentSpeed) *currentSpeed = poll.currentSpeed;
    return kZdlOk;
  }
  int32_t ZDL_STDCALL GetResult(int32_t* result, int32_t* extendedCode) override {
    engine_->Log("GetResult");
    if (result) *result = aborted_ ? kZdlResultAborted : script_.result;
    if (extendedCode) *extendedCode = aborted_ ? 0 : script_.extendedCode;
    return kZdlOk;
  }
  int32_t ZDL_STDCALL GetFileInfo(ZdlFileInfo* info) override {
    engine_->Log("GetFileInfo");
    if (info) *info = script_.fileInfo;
    return kZdlOk;
  }

 private:
  int32_t Stop(const char* call) {
    engine_->Log(call);
    aborted_ = true;
    return kZdlOk;
  }
  void Done() override {
    engine_->Log("ReleaseSession");
    impl_->Count(&FakeEngine::Impl::liveSessions, -1);
    delete this;
  }

  FakeEngine* engine_;
  FakeEngine::Impl* impl_;
  FakeSessionScript script_;
  std::atomic<size_t> pollIndex_{0};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> started_{false};
};

class FakeRequest final : public FakeObject<IZHttpRequest> {
 public:
  FakeRequest(FakeEngine* engine, FakeEngine::Impl* impl, size_t index,
              IZHttpResponseHandler* handler, FakeHttpAnswer answer)
      : FakeObject(IID_IZHttpRequest),
        engine_(engine),
        impl_(impl),
        index_(index),
        handler_(handler),
        answer_(std::move(answer)) {
    if (handler_) handler_->AddRef();
  }

  int32_t ZDL_STDCALL SetHeader(const char* name, const char* value) override {
    const std::string n = name ? name : "", v = value ? value : "";
    engine_->Log("SetHeader " + n + ": " + v);
    impl_->Locked([&] {
      impl_->httpRequests[index_].headers.emplace_back(n, v);
      return 0;
    });
    return kZdlOk;
  }
  int32_t ZDL_STDCALL SetBody(const void* data, uint32_t length) override {
    engine_->Log("SetBody " + std::to_string(length));
    impl_->Locked([&] {
      impl_->httpRequests[index_].body.assign(static_cast<const char*>(data), length);
      return 0;
    });
    return kZdlOk;
  }
  int32_t ZDL_STDCALL Send() override {
    engine_->Log("Send");
    if (answer_.sendStatus < 0) return answer_.sendStatus;
    IZHttpResponseHandler* handler = handler_;
    handler_ = nullptr;  // the delivery thread owns that reference now
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->httpRequests[index_].sent = true;
    impl_->deliveries.emplace_back([impl = impl_, handler, answer = answer_, index = index_] {
      Deliver(impl, handler, answer, index);
    });
    return kZdlOk;
  }

 private:
  static void Deliver(FakeEngine::Impl* impl, IZHttpResponseHandler* handler,
                      const FakeHttpAnswer& answer, size_t index) {
    auto stopping = [impl] { return impl->shuttingDown; };
    {
      std::unique_lock<std::mutex> wait(impl->mutex);
      impl->changed.wait_for(wait, answer.delay, stopping);
    }
    if (handler == nullptr) return;
    handler->OnBegin();
    if (answer.sendStatusCode) handler->OnStatusCode(answer.status);
    if (!answer.body.empty()) {
      const int32_t taken =
          handler->OnData(answer.body.data(), static_cast<uint32_t>(answer.body.size()));
      impl->Locked([&] { return impl->httpRequests[index].dataAnswer = taken; });
    }
    if (answer.incomplete) handler->OnNotify(kZdlNotifyIncomplete, kZdlResultNetwork, 0, 0);
    if (answer.complete) {
      handler->OnComplete();
    } else {
      // Holds the handler until the engine shuts down, like a request that never ends.
      std::unique_lock<std::mutex> wait(impl->mutex);
      impl->changed.wait(wait, stopping);
    }
    handler->Release();
  }
  void Done() override {
    engine_->Log("ReleaseRequest");
    if (handler_) handler_->Release();
    impl_->Count(&FakeEngine::Impl::liveRequests, -1);
    delete this;
  }

  FakeEngine* engine_;
  FakeEngine::Impl* impl_;
  size_t index_;
  IZHttpResponseHandler* handler_;
  FakeHttpAnswer answer_;
};

class FakeDownloadService final : public FakeObject<IZDownloadService> {
 public:
  FakeDownloadService(FakeEngine* engine, FakeEngine::Impl* impl)
      : FakeObject(IID_IZDownloadService), engine_(engine), impl_(impl) {}
  int32_t ZDL_STDCALL CreateSession(const char* url, const ZdlWChar* checksumPath,
                                    const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                    IZDownloadSession** session) override {
    engine_->Log(std::string("CreateSession ") + (url ? url : ""));
    FakeSessionScript script = impl_->Locked([&] {
      impl_->sessionRequests.push_back(FakeSessionRequest{url ? url : "", checksumPath == nullptr,
                                                          ToU16(checksumPath), ToU16(saveDir),
                                                          ToU16(fileName)});
      if (impl_->sessionQueue.empty()) return impl_->defaultSession;
      FakeSessionScript next = impl_->sessionQueue.front();
      impl_->sessionQueue.pop_front();
      return next;
    });
    if (session == nullptr) return kZdlPointer;
    if (script.createStatus < 0 && !script.sessionOnCreateFailure) return script.createStatus;
    impl_->Count(&FakeEngine::Impl::liveSessions, 1);
    const int32_t status = script.createStatus;
    *session = new FakeSession(engine_, impl_, std::move(script));
    return status;
  }

 private:
  FakeEngine* engine_;
  FakeEngine::Impl* impl_;
};

class FakeHttpService final : public FakeObject<IZHttpService> {
 public:
  FakeHttpService(FakeEngine* engine, FakeEngine::Impl* impl)
      : FakeObject(IID_IZHttpService), engine_(engine), impl_(impl) {}
  int32_t ZDL_STDCALL CreateRequest(uint32_t flags, int32_t method, const char* url,
                                    IZHttpResponseHandler* handler, uint32_t reserved,
                                    IZHttpRequest** request) override {
    engine_->Log("CreateRequest " + std::to_string(method) + " " + (url ? url : ""));
    FakeHttpRequestRecord record;
    record.flags = flags;
    record.method = method;
    record.url = url ? url : "";
    record.reserved = reserved;
    size_t index = 0;
    auto responder = impl_->Locked([&] {
      index = impl_->httpRequests.size();
      impl_->httpRequests.push_back(record);
      return impl_->responder;
    });
    FakeHttpAnswer answer = responder ? responder(record) : FakeHttpAnswer{};
    if (request == nullptr) return kZdlPointer;
    if (answer.createStatus < 0) return answer.createStatus;
    impl_->Count(&FakeEngine::Impl::liveRequests, 1);
    *request = new FakeRequest(engine_, impl_, index, handler, std::move(answer));
    return kZdlOk;
  }

 private:
  FakeEngine* engine_;
  FakeEngine::Impl* impl_;
};

}  // namespace

FakeEngine::FakeEngine() : impl_(new Impl) {
  impl_->downloadService = new FakeDownloadService(this, impl_);
  impl_->httpService = new FakeHttpService(this, impl_);
}

FakeEngine::~FakeEngine() {
  std::vector<std::thread> deliveries = impl_->Locked([this] {
    impl_->shuttingDown = true;
    return std::move(impl_->deliveries);
  });
  impl_->changed.notify_all();
  for (auto& thread : deliveries) thread.join();
  delete static_cast<FakeDownloadService*>(impl_->downloadService);
  delete static_cast<FakeHttpService*>(impl_->httpService);
  delete impl_;
}

IZDownloadService* FakeEngine::DownloadService() { return impl_->downloadService; }
IZHttpService* FakeEngine::HttpService() { return impl_->httpService; }

void FakeEngine::QueueSession(FakeSessionScript script) {
  impl_->Locked([&] { return impl_->sessionQueue.push_back(std::move(script)); });
}
void FakeEngine::SetDefaultSession(FakeSessionScript script) {
  impl_->Locked([&] { return impl_->defaultSession = std::move(script); });
}
void FakeEngine::SetHttpResponder(
    std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder) {
  impl_->Locked([&] { return impl_->responder = std::move(responder); });
}

void FakeEngine::Log(const std::string& call) {
  impl_->Locked([&] {
    if (impl_->terminated) ++impl_->callsAfterTerm;
    return impl_->calls.push_back((impl_->terminated ? "AfterTerm " : "") + call);
  });
  impl_->changed.notify_all();
}

std::vector<std::string> FakeEngine::Calls() const {
  return impl_->Locked([this] { return impl_->calls; });
}
size_t FakeEngine::CountCalls(const std::string& prefix) const {
  return impl_->Locked([&] {
    return static_cast<size_t>(
        std::count_if(impl_->calls.begin(), impl_->calls.end(),
                      [&](const std::string& call) { return call.rfind(prefix, 0) == 0; }));
  });
}
std::vector<FakeSessionRequest> FakeEngine::SessionRequests() const {
  return impl_->Locked([this] { return impl_->sessionRequests; });
}
std::vector<FakeHttpRequestRecord> FakeEngine::HttpRequests() const {
  return impl_->Locked([this] { return impl_->httpRequests; });
}
size_t FakeEngine::LiveSessions() const {
  return impl_->Locked([this] { return impl_->liveSessions; });
}
size_t FakeEngine::LiveRequests() const {
  return impl_->Locked([this] { return impl_->liveRequests; });
}
void FakeEngine::Terminate() {
  impl_->Locked([this] { return impl_->terminated = true; });
}
size_t FakeEngine::CallsAfterTerm() const {
  return impl_->Locked([this] { return impl_->callsAfterTerm; });
}

bool FakeEngine::WaitUntil(const std::function<bool()>& pred,
                           std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Re-check at least every few milliseconds: pred may depend on state outside the engine.
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testing
}  // namespace lumo
