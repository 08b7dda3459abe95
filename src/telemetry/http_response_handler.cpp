#include "telemetry/http_response_handler.h"

#include <cstring>
#include <new>

namespace lumo {

HttpResponseHandler* HttpResponseHandler::Create(size_t keepLimit) {
  return new (std::nothrow) HttpResponseHandler(keepLimit);
}

int32_t ZDL_STDCALL HttpResponseHandler::QueryInterface(const ZdlGuid* iid, void** out) {
  if (iid == nullptr || std::memcmp(iid, &IID_IZHttpResponseHandler, sizeof(ZdlGuid)) != 0) {
    return kZdlNoInterface;
  }
  if (out == nullptr) return kZdlPointer;
  *out = static_cast<IZHttpResponseHandler*>(this);
  AddRef();
  return kZdlOk;
}

uint32_t ZDL_STDCALL HttpResponseHandler::AddRef() { return IncrementReference(); }

uint32_t ZDL_STDCALL HttpResponseHandler::Release() {
  const uint32_t count = DecrementReference();
  if (count == 0) delete this;
  return count;
}

int32_t ZDL_STDCALL HttpResponseHandler::OnBegin() {
  begun_.store(true);
  return kZdlOk;
}

int32_t ZDL_STDCALL HttpResponseHandler::OnStatusCode(uint32_t status) {
  status_.store(status);
  return kZdlOk;
}

int32_t ZDL_STDCALL HttpResponseHandler::OnNotify(uint32_t what, uint32_t, uint32_t, uint32_t) {
  if (what == kZdlNotifyIncomplete) incomplete_.store(true);
  return kZdlOk;
}

int32_t ZDL_STDCALL HttpResponseHandler::OnSignal() { return kZdlOk; }

int32_t ZDL_STDCALL HttpResponseHandler::OnData(const void* data, uint32_t length) {
  if (length == 0) return kZdlOk;
  if (data == nullptr) return kZdlPointer;
  if (abandoned_.load()) return kRefused;
  try {
    MutexLock hold(responseLock_);
    const size_t room = keepLimit_ - response_.size();
    if (length > room) {
      response_.append(static_cast<const char*>(data), room);
      overflowed_.store(true);
      return kRefused;
    }
    response_.append(static_cast<const char*>(data), length);
  } catch (...) {
    // Called by the engine: nothing may leave this function as an exception.
    return kZdlOutOfMemory;
  }
  return kZdlOk;
}

int32_t ZDL_STDCALL HttpResponseHandler::OnComplete() {
  done_.store(true);
  return kZdlOk;
}

std::string HttpResponseHandler::Response() const {
  MutexLock hold(responseLock_);
  return response_;
}

}  // namespace lumo
