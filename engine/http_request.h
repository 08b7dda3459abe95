// One HTTP request of the HTTP service, run on an engine thread after Send. The handler hears
// OnBegin, OnStatusCode when a response arrives, OnData for each piece of body, and OnComplete
// always, after a failure too. The engine holds the handler until OnComplete has returned.
// Releasing the request's last reference cancels it (the handler still hears OnComplete), as
// does mod_term, a negative answer of OnData and the request's time bound: nothing keeps a
// background request running once its owner has given it up.
#pragma once

#include <memory>

#include "engine_runtime.h"
#include "platform/mutex.h"
#include "ref_counted.h"
#include "zdl/zdl_engine.h"

namespace zdl {

class HttpRequest final : public NotifyingRefCounted<IZHttpRequest> {
 public:
  static int32_t Create(uint32_t flags, int32_t method, const char* url,
                        IZHttpResponseHandler* handler, IZHttpRequest** out);

  int32_t ZDL_STDCALL SetHeader(const char* name, const char* value) override;
  int32_t ZDL_STDCALL SetBody(const void* data, uint32_t length) override;
  int32_t ZDL_STDCALL Send() override;

  struct State;

 private:
  explicit HttpRequest(std::shared_ptr<State> state);
  ~HttpRequest() = default;
  void OnFinalRelease() override;
  CompletionNotifier& Notifier() override;

  lumo::Mutex lock_;
  std::shared_ptr<State> state_;  // request fields guarded by lock_ until Send
  bool sent_ GUARDED_BY(lock_) = false;
};

}  // namespace zdl
