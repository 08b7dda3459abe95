// Reference-count base of the downloader object: a signed 32-bit count changed atomically.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumo {

class LumoSimpleUnknownImpl {
 public:
  LumoSimpleUnknownImpl() = default;
  LumoSimpleUnknownImpl(const LumoSimpleUnknownImpl&) = delete;
  LumoSimpleUnknownImpl& operator=(const LumoSimpleUnknownImpl&) = delete;

  int32_t ReferenceCount() const { return refCount_.load(); }

 protected:
  ~LumoSimpleUnknownImpl() = default;
  int32_t IncrementReference() { return refCount_.fetch_add(1) + 1; }
  int32_t DecrementReference() { return refCount_.fetch_sub(1) - 1; }

 private:
  std::atomic<int32_t> refCount_{0};  // AddRef/Release may come from any host thread
};

}  // namespace lumo
