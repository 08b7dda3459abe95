// One HTTP request of the HTTP service, run on an engine thread after Send. The handler hears
// OnBegin, OnStatusCode when a response arrives, OnData for each piece of body, and OnComplete
// always, after a failure too. The engine holds the handler until OnComplete has returned.
// Releasing the request does not cancel it; mod_term does, as do a negative answer of OnData and
// the request's time bound.
#pragma once

#include <memory>
#include <mutex>

#include "engine_runtime.h"
#include "ref_counted.h"
#include "zdl/zdl_engine.h"

namespace zdl {

class HttpRequest final : public RefCounted<IZHttpRequest> {
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
  void OnFinalRelease() override { delete this; }

  std::mutex lock_;
  std::shared_ptr<State> state_;  // request fields guarded by lock_ until Send
  bool sent_ = false;             // guarded by lock_
};

}  // namespace zdl
