// The module's callback object for one engine HTTP request. The engine's threads call the On*
// operations; a polling thread reads Done/Status at any moment and copies Response under the
// handler's own lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mutex.h"
#include "telemetry/simple_unknown.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class HttpResponseHandler final : public IZHttpResponseHandler, public ZSimpleUnknownImpl {
 public:
  static constexpr size_t kKeepAll = static_cast<size_t>(-1);
  // What OnData answers for bytes it refuses: the engine stops the exchange.
  static constexpr int32_t kRefused = static_cast<int32_t>(0x80004004u);  // E_ABORT

  // A fresh handler with a count of 0 (the caller adds the first reference); null when out of
  // memory. It keeps at most keepLimit bytes of the body: more marks it overflowed and is
  // refused, so an endless answer can neither grow memory nor hold the engine.
  static HttpResponseHandler* Create(size_t keepLimit = kKeepAll);

  // Only IID_IZHttpResponseHandler is answered (not that of IUnknown).
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override;
  uint32_t ZDL_STDCALL AddRef() override;
  uint32_t ZDL_STDCALL Release() override;

  int32_t ZDL_STDCALL OnBegin() override;
  int32_t ZDL_STDCALL OnStatusCode(uint32_t status) override;
  int32_t ZDL_STDCALL OnNotify(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override;
  int32_t ZDL_STDCALL OnSignal() override;
  int32_t ZDL_STDCALL OnData(const void* data, uint32_t length) override;
  int32_t ZDL_STDCALL OnComplete() override;

  bool Done() const { return done_.load(); }
  // The engine said the answer did not arrive whole (failed, cut short, or encoded).
  bool Incomplete() const { return incomplete_.load(); }
  uint32_t Status() const { return status_.load(); }
  bool Begun() const { return begun_.load(); }
  std::string Response() const;  // a consistent copy, also while the engine appends
  // The body went past the keep limit; Response holds its first keepLimit bytes.
  bool Overflowed() const { return overflowed_.load(); }
  // The poller stopped waiting: every later piece of body is refused, so a request that outlives
  // its wait ends at its next data.
  void Abandon() { abandoned_.store(true); }

 private:
  explicit HttpResponseHandler(size_t keepLimit) : keepLimit_(keepLimit) {}
  ~HttpResponseHandler() = default;

  const size_t keepLimit_;
  std::atomic<bool> overflowed_{false};  // set by OnData (engine thread)
  std::atomic<bool> abandoned_{false};   // set by the poller

  std::atomic<bool> done_{false};    // set by OnComplete (engine thread)
  std::atomic<uint32_t> status_{0};  // set by OnStatusCode (engine thread)
  std::atomic<bool> begun_{false};   // set by OnBegin (engine thread)
  std::atomic<bool> incomplete_{false};  // set by OnNotify (engine thread), before OnComplete
  mutable Mutex responseLock_;
  std::string response_ GUARDED_BY(responseLock_);
};

}  // namespace lumo
