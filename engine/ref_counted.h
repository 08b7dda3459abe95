// Reference counting shared by the engine's COM-style objects.
#pragma once

#include <atomic>
#include <cstring>

#include "completion_notifier.h"
#include "platform/com_ref.h"
#include "zdl/zdl_engine.h"

namespace zdl {

inline bool SameGuid(const ZdlGuid* a, const ZdlGuid& b) {
  return a != nullptr && std::memcmp(a, &b, sizeof(ZdlGuid)) == 0;
}

// Answers QueryInterface for the object's own interface only (not IUnknown's), and counts
// references atomically. Interface: the COM interface; Object: the class, which provides
// OnFinalRelease() to destroy itself (or not, for process-lifetime objects).
template <typename Interface>
class RefCounted : public Interface {
 public:
  explicit RefCounted(const ZdlGuid& iid) : iid_(iid) {}

  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr) return kZdlPointer;
    if (!SameGuid(iid, iid_)) return kZdlNoInterface;
    AddRef();
    *out = static_cast<Interface*>(this);
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return refs_.fetch_add(1) + 1; }
  uint32_t ZDL_STDCALL Release() override {
    uint32_t left = refs_.fetch_sub(1) - 1;
    if (left == 0) OnFinalRelease();
    return left;
  }

 protected:
  virtual void OnFinalRelease() = 0;
  // No virtual destructor in the interface: the derived class deletes itself as its own type.
  ~RefCounted() = default;

 private:
  const ZdlGuid& iid_;
  std::atomic<uint32_t> refs_{0};
};

// A RefCounted object that also answers IID_IZCompletionNotify. The notifier lives in the
// state the engine thread shares, so it outlives the object while the transfer runs.
template <typename Interface>
class NotifyingRefCounted : public RefCounted<Interface>, public IZCompletionNotify {
 public:
  using RefCounted<Interface>::RefCounted;

  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (out == nullptr || !SameGuid(iid, IID_IZCompletionNotify)) {
      return RefCounted<Interface>::QueryInterface(iid, out);
    }
    AddRef();
    *out = static_cast<IZCompletionNotify*>(this);
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return RefCounted<Interface>::AddRef(); }
  uint32_t ZDL_STDCALL Release() override { return RefCounted<Interface>::Release(); }
  int32_t ZDL_STDCALL SetCompletionNotify(ZdlCompletionFn notify, void* context) override {
    return Notifier().Set(notify, context);
  }

 protected:
  virtual CompletionNotifier& Notifier() = 0;
  ~NotifyingRefCounted() = default;
};

using lumo::ComRef;

}  // namespace zdl
