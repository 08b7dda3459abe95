#include "http_request.h"

#include <chrono>
#include <cstring>
#include <new>

#include "response_rules.h"
#include "transport/transport.h"

namespace zdl {
namespace {

// No request of the HTTP service may hold an engine thread longer than this, whatever the
// server does: the module waits far less for any answer.
constexpr std::chrono::seconds kRequestBound(30);

}  // namespace

struct HttpRequest::State final : public TransferObserver {
  TransferRequest request;
  ComRef<IZHttpResponseHandler> handler;
  std::unique_ptr<Transport> transport;
  ResponseHead head;
  bool responded = false;
  uint64_t received = 0;
  CompletionNotifier notifier;  // told after OnComplete has returned

  bool OnResponse(const ResponseHead& answer) override {
    head = answer;
    responded = true;
    handler->OnStatusCode(answer.status);
    return true;
  }
  bool OnData(const void* data, size_t length) override {
    received += length;
    // A handler that refuses the body (too long, or no longer waited for) ends the exchange.
    return handler->OnData(data, static_cast<uint32_t>(length)) >= 0;
  }

  // Why the answer is not whole: the failure of the exchange, a body short of its
  // Content-Length, or one in an encoding nobody asked for.
  bool Incomplete(const TransferOutcome& outcome, EngineResult* why) const {
    if (outcome.end != TransferEnd::kCompleted) {
      *why = outcome.end == TransferEnd::kFailed ? outcome.failure
                                                 : EngineResult{kZdlResultGeneral, 0};
      return true;
    }
    if (responded && head.hasContentLength && received < head.contentLength) {
      *why = EngineResult{kZdlResultNetwork, 0};
      return true;
    }
    if (responded && received > 0 && !IsIdentityEncoding(head)) {
      *why = EngineResult{kZdlResultServer, 0};
      return true;
    }
    return false;
  }

  void Run() {
    handler->OnBegin();
    TransferOutcome outcome;
    outcome.end = TransferEnd::kFailed;
    outcome.failure = EngineResult{kZdlResultGeneral, kZdlFail};
    try {
      transport->SetDeadline(std::chrono::steady_clock::now() + kRequestBound);
      outcome = transport->Perform(request, *this);
    } catch (...) {
      // The handler still hears OnComplete.
    }
    EngineResult why;
    if (Incomplete(outcome, &why)) {
      handler->OnNotify(kZdlNotifyIncomplete, static_cast<uint32_t>(why.result),
                        static_cast<uint32_t>(why.extended), 0);
    }
    handler->OnComplete();
    handler.Reset();
    notifier.Ended();
  }
};

HttpRequest::HttpRequest(std::shared_ptr<State> state)
    : NotifyingRefCounted<IZHttpRequest>(IID_IZHttpRequest), state_(std::move(state)) {}

CompletionNotifier& HttpRequest::Notifier() { return state_->notifier; }

int32_t HttpRequest::Create(uint32_t /*flags*/, int32_t method, const char* url,
                            IZHttpResponseHandler* handler, IZHttpRequest** out) {
  // Every request runs in the background whatever the flags say: there is no blocking mode.
  if (out == nullptr || url == nullptr || handler == nullptr) return kZdlPointer;
  *out = nullptr;
  if (method != kZdlMethodGet && method != kZdlMethodPost) return kZdlInvalidArg;
  if (url[0] == '\0') return kZdlInvalidArg;
  try {
    auto state = std::make_shared<State>();
    state->request.method = method == kZdlMethodPost ? "POST" : "GET";
    state->request.url = url;
    state->handler = ComRef<IZHttpResponseHandler>::Share(handler);
    state->transport = CreateTransport();
    if (!state->transport) return kZdlFail;
    auto* request = new HttpRequest(std::move(state));
    request->AddRef();
    *out = request;
    return kZdlOk;
  } catch (const std::bad_alloc&) {
    return kZdlOutOfMemory;
  } catch (...) {
    return kZdlFail;
  }
}

void HttpRequest::OnFinalRelease() {
  bool sent;
  {
    lumo::MutexLock lock(lock_);
    sent = sent_;
  }
  if (sent) state_->transport->Cancel();
  delete this;
}

int32_t HttpRequest::SetHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return kZdlPointer;
  if (name[0] == '\0' || std::strpbrk(name, ":\r\n") || std::strpbrk(value, "\r\n")) {
    return kZdlInvalidArg;  // no header injection
  }
  lumo::MutexLock lock(lock_);
  if (sent_) return kZdlWrongState;
  try {
    state_->request.headers.emplace_back(name, value);
  } catch (...) {
    return kZdlOutOfMemory;
  }
  return kZdlOk;
}

int32_t HttpRequest::SetBody(const void* data, uint32_t length) {
  if (data == nullptr && length > 0) return kZdlPointer;
  lumo::MutexLock lock(lock_);
  if (sent_) return kZdlWrongState;
  try {
    state_->request.body.assign(static_cast<const char*>(data), length);
  } catch (...) {
    return kZdlOutOfMemory;
  }
  return kZdlOk;
}

int32_t HttpRequest::Send() {
  lumo::MutexLock lock(lock_);
  if (sent_) return kZdlWrongState;
  std::shared_ptr<State> state = state_;
  try {
    auto task = EngineRuntime::Instance().Launch([state] { state->Run(); },
                                                 [state] { state->transport->Cancel(); });
    if (!task) return kZdlWrongState;
  } catch (...) {
    return kZdlOutOfMemory;
  }
  sent_ = true;
  return kZdlOk;
}

}  // namespace zdl
