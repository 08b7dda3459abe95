// Reference-count base of the module's engine callback objects. The derived class answers
// AddRef/Release with these and deletes itself when the count drops to 0.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumo {

class ZSimpleUnknownImpl {
 public:
  ZSimpleUnknownImpl() = default;
  ZSimpleUnknownImpl(const ZSimpleUnknownImpl&) = delete;
  ZSimpleUnknownImpl& operator=(const ZSimpleUnknownImpl&) = delete;

  uint32_t ReferenceCount() const { return refCount_.load(); }

 protected:
  ~ZSimpleUnknownImpl() = default;

  // Both return the new count.
  uint32_t IncrementReference() { return refCount_.fetch_add(1) + 1; }
  uint32_t DecrementReference() { return refCount_.fetch_sub(1) - 1; }

 private:
  std::atomic<uint32_t> refCount_{0};  // changed by any thread that holds a reference
};

}  // namespace lumo
