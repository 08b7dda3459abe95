// Reference counting shared by the engine's COM-style objects.
#pragma once

#include <atomic>
#include <cstring>

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

// A reference held by the engine, released on destruction.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T* object) : object_(object) {
    if (object_) object_->AddRef();
  }
  ~ComRef() { Reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  ComRef& operator=(ComRef&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void Reset() {
    T* object = object_;
    object_ = nullptr;
    if (object) object->Release();
  }

 private:
  T* object_ = nullptr;
};

}  // namespace zdl
