#include "support/fake_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace lumo {
namespace testing {

namespace {

bool SameGuid(const ZdlGuid* a, const ZdlGuid& b) {
  return a != nullptr && std::memcmp(a, &b, sizeof b) == 0;
}

std::u16string ToU16(const ZdlWChar* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

}  // namespace

struct FakeEngine::Impl {
  FakeEngine* owner = nullptr;
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

  struct DownloadService;
  struct HttpService;
  DownloadService* downloadService = nullptr;
  HttpService* httpService = nullptr;
};

namespace {

// Reference count shared by the fake objects; they free themselves at zero.
template <typename Interface>
class FakeObject : public Interface {
 public:
  uint32_t ZDL_STDCALL AddRef() override { return ++refs_; }
  uint32_t ZDL_STDCALL Release() override {
    const uint32_t left = --refs_;
    if (left == 0) OnLastRelease();
    return left;
  }

 protected:
  virtual void OnLastRelease() = 0;
  std::atomic<uint32_t> refs_{1};
};

class FakeSession final : public FakeObject<IZDownloadSession> {
 public:
  FakeSession(FakeEngine* engine, FakeEngine::Impl* impl, FakeSessionScript script)
      : engine_(engine), impl_(impl), script_(std::move(script)) {}

  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, IID_IZDownloadSession)) return kZdlNoInterface;
    *out = static_cast<IZDownloadSession*>(this);
    AddRef();
    return kZdlOk;
  }
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
  int32_t ZDL_STDCALL Abort() override {
    engine_->Log("Abort");
    aborted_ = true;
    return kZdlOk;
  }
  int32_t ZDL_STDCALL Pause() override {
    engine_->Log("Pause");
    aborted_ = true;
    return kZdlOk;
  }
  int32_t ZDL_STDCALL GetStatus(int32_t* status, uint64_t* total, uint64_t* downloaded,
                                uint32_t* averageSpeed, uint32_t* currentSpeed) override {
    engine_->Log("GetStatus");
    const size_t index = pollIndex_++;
    if (script_.onPoll) script_.onPoll(index);
    FakePoll poll = script_.polls.empty() ? FakePoll{}
                                          : script_.polls[std::min(index, script_.polls.size() - 1)];
    if (aborted_) {
      poll.status = kZdlStatusError;
      poll.averageSpeed = 0;
      poll.currentSpeed = 0;
    }
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
  void OnLastRelease() override {
    engine_->Log("ReleaseSession");
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      --impl_->liveSessions;
    }
    impl_->changed.notify_all();
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
      : engine_(engine), impl_(impl), index_(index), handler_(handler), answer_(std::move(answer)) {
    if (handler_) handler_->AddRef();
  }

  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, IID_IZHttpRequest)) return kZdlNoInterface;
    *out = static_cast<IZHttpRequest*>(this);
    AddRef();
    return kZdlOk;
  }
  int32_t ZDL_STDCALL SetHeader(const char* name, const char* value) override {
    const std::string header = std::string(name ? name : "") + ": " + (value ? value : "");
    engine_->Log("SetHeader " + header);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->httpRequests[index_].headers.emplace_back(name ? name : "", value ? value : "");
    return kZdlOk;
  }
  int32_t ZDL_STDCALL SetBody(const void* data, uint32_t length) override {
    engine_->Log("SetBody " + std::to_string(length));
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->httpRequests[index_].body.assign(static_cast<const char*>(data), length);
    return kZdlOk;
  }
  int32_t ZDL_STDCALL Send() override {
    engine_->Log("Send");
    if (answer_.sendStatus < 0) return answer_.sendStatus;
    IZHttpResponseHandler* handler = handler_;
    handler_ = nullptr;  // the delivery thread owns that reference now
    FakeHttpAnswer answer = answer_;
    FakeEngine::Impl* impl = impl_;
    const size_t index = index_;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->httpRequests[index_].sent = true;
    impl_->deliveries.emplace_back([impl, handler, answer, index] {
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
        std::lock_guard<std::mutex> hold(impl->mutex);
        impl->httpRequests[index].dataAnswer = taken;
      }
      if (answer.incomplete) handler->OnNotify(kZdlNotifyIncomplete, kZdlResultNetwork, 0, 0);
      if (!answer.complete) {
        // Holds the handler until the engine shuts down, like a request that never ends.
        std::unique_lock<std::mutex> wait(impl->mutex);
        impl->changed.wait(wait, stopping);
      } else {
        handler->OnComplete();
      }
      handler->Release();
    });
    return kZdlOk;
  }

 private:
  void OnLastRelease() override {
    engine_->Log("ReleaseRequest");
    if (handler_) handler_->Release();
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      --impl_->liveRequests;
    }
    impl_->changed.notify_all();
    delete this;
  }

  FakeEngine* engine_;
  FakeEngine::Impl* impl_;
  size_t index_;
  IZHttpResponseHandler* handler_;
  FakeHttpAnswer answer_;
};

}  // namespace

// The services live as long as the engine; their counts are kept for completeness only.
struct FakeEngine::Impl::DownloadService final : IZDownloadService {
  explicit DownloadService(FakeEngine* e, Impl* i) : engine(e), impl(i) {}
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, IID_IZDownloadService)) return kZdlNoInterface;
    *out = static_cast<IZDownloadService*>(this);
    AddRef();
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs; }
  uint32_t ZDL_STDCALL Release() override { return --refs; }
  int32_t ZDL_STDCALL CreateSession(const char* url, const ZdlWChar* checksumPath,
                                    const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                    IZDownloadSession** session) override {
    engine->Log(std::string("CreateSession ") + (url ? url : ""));
    FakeSessionScript script;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      FakeSessionRequest request;
      request.url = url ? url : "";
      request.checksumPathNull = checksumPath == nullptr;
      request.checksumPath = ToU16(checksumPath);
      request.saveDir = ToU16(saveDir);
      request.fileName = ToU16(fileName);
      impl->sessionRequests.push_back(request);
      if (!impl->sessionQueue.empty()) {
        script = impl->sessionQueue.front();
        impl->sessionQueue.pop_front();
      } else {
        script = impl->defaultSession;
      }
    }
    if (session == nullptr) return kZdlPointer;
    if (script.createStatus < 0 && !script.sessionOnCreateFailure) return script.createStatus;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      ++impl->liveSessions;
    }
    const int32_t status = script.createStatus;
    *session = new FakeSession(engine, impl, std::move(script));
    return status;
  }
  FakeEngine* engine;
  Impl* impl;
  std::atomic<uint32_t> refs{1};
};

struct FakeEngine::Impl::HttpService final : IZHttpService {
  explicit HttpService(FakeEngine* e, Impl* i) : engine(e), impl(i) {}
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, IID_IZHttpService)) return kZdlNoInterface;
    *out = static_cast<IZHttpService*>(this);
    AddRef();
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs; }
  uint32_t ZDL_STDCALL Release() override { return --refs; }
  int32_t ZDL_STDCALL CreateRequest(uint32_t flags, int32_t method, const char* url,
                                    IZHttpResponseHandler* handler, uint32_t reserved,
                                    IZHttpRequest** request) override {
    engine->Log("CreateRequest " + std::to_string(method) + " " + (url ? url : ""));
    FakeHttpRequestRecord record;
    record.flags = flags;
    record.method = method;
    record.url = url ? url : "";
    record.reserved = reserved;
    std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder;
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      responder = impl->responder;
      index = impl->httpRequests.size();
      impl->httpRequests.push_back(record);
    }
    FakeHttpAnswer answer = responder ? responder(record) : FakeHttpAnswer{};
    if (request == nullptr) return kZdlPointer;
    if (answer.createStatus < 0) return answer.createStatus;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      ++impl->liveRequests;
    }
    *request = new FakeRequest(engine, impl, index, handler, std::move(answer));
    return kZdlOk;
  }
  FakeEngine* engine;
  Impl* impl;
  std::atomic<uint32_t> refs{1};
};

FakeEngine::FakeEngine() : impl_(new Impl) {
  impl_->owner = this;
  impl_->downloadService = new Impl::DownloadService(this, impl_);
  impl_->httpService = new Impl::HttpService(this, impl_);
}

FakeEngine::~FakeEngine() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->shuttingDown = true;
  }
  impl_->changed.notify_all();
  std::vector<std::thread> deliveries;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    deliveries.swap(impl_->deliveries);
  }
  for (auto& thread : deliveries) thread.join();
  delete impl_->downloadService;
  delete impl_->httpService;
  delete impl_;
}

IZDownloadService* FakeEngine::DownloadService() { return impl_->downloadService; }
IZHttpService* FakeEngine::HttpService() { return impl_->httpService; }

void FakeEngine::QueueSession(FakeSessionScript script) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->sessionQueue.push_back(std::move(script));
}

void FakeEngine::SetDefaultSession(FakeSessionScript script) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->defaultSession = std::move(script);
}

void FakeEngine::SetHttpResponder(
    std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->responder = std::move(responder);
}

void FakeEngine::Log(const std::string& call) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->terminated) {
      ++impl_->callsAfterTerm;
      impl_->calls.push_back("AfterTerm " + call);
    } else {
      impl_->calls.push_back(call);
    }
  }
  impl_->changed.notify_all();
}

std::vector<std::string> FakeEngine::Calls() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->calls;
}

size_t FakeEngine::CountCalls(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<size_t>(
      std::count_if(impl_->calls.begin(), impl_->calls.end(),
                    [&](const std::string& call) { return call.rfind(prefix, 0) == 0; }));
}

std::vector<FakeSessionRequest> FakeEngine::SessionRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->sessionRequests;
}

std::vector<FakeHttpRequestRecord> FakeEngine::HttpRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->httpRequests;
}

size_t FakeEngine::LiveSessions() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->liveSessions;
}

size_t FakeEngine::LiveRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->liveRequests;
}

bool FakeEngine::WaitUntil(const std::function<bool()>& pred,
                           std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  while (true) {
    lock.unlock();
    const bool done = pred();
    lock.lock();
    if (done) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Re-check at least every few milliseconds: pred may depend on state outside the engine.
    impl_->changed.wait_for(lock, std::chrono::milliseconds(5));
  }
}

void FakeEngine::Terminate() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->terminated = true;
}

size_t FakeEngine::CallsAfterTerm() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->callsAfterTerm;
}

}  // namespace testing
}  // namespace lumo
