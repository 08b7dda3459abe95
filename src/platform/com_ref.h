// The one holder of a COM-style reference (any type with AddRef and Release): the module, the
// engine and the platform layer's COM calls all keep their references in it, so every exit path
// releases each exactly once. Dependency-free, so the engine may include it.
#pragma once

namespace lumo {

template <typename T>
class ComRef {
 public:
  ComRef() = default;
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

  // Takes over a reference the caller already owns (a creating call's result).
  static ComRef Adopt(T* object) {
    ComRef ref;
    ref.object_ = object;
    return ref;
  }
  // Takes a reference of its own to a borrowed object.
  static ComRef Share(T* object) {
    if (object != nullptr) object->AddRef();
    return Adopt(object);
  }

  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Slot for a call that hands out a new reference; drops the one held first.
  T** Out() {
    Reset();
    return &object_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }

  // Gives up the reference. Cleared before Release runs, so code that Release reaches sees an
  // empty holder.
  void Reset() {
    T* object = object_;
    object_ = nullptr;
    if (object != nullptr) object->Release();
  }

 private:
  T* object_ = nullptr;
};

}  // namespace lumo
