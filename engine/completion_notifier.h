// The end of a session or request as a call, for a waiter that registered through
// IZCompletionNotify: the notify runs under the notifier's lock, so clearing the registration
// also waits out a notify in progress.
#pragma once

#include "platform/mutex.h"
#include "zdl/zdl_engine.h"

namespace zdl {

class CompletionNotifier {
 public:
  int32_t Set(ZdlCompletionFn notify, void* context) {
    lumo::MutexLock lock(lock_);
    notify_ = notify;
    context_ = context;
    if (ended_ && notify_ != nullptr) Fire();
    return kZdlOk;
  }
  // The object has ended: after its final status or final callback is visible.
  void Ended() {
    lumo::MutexLock lock(lock_);
    if (ended_) return;
    ended_ = true;
    if (notify_ != nullptr) Fire();
  }

 private:
  void Fire() REQUIRES(lock_) {
    ZdlCompletionFn notify = notify_;
    notify_ = nullptr;  // once per registration
    notify(context_);
  }

  lumo::Mutex lock_;
  ZdlCompletionFn notify_ GUARDED_BY(lock_) = nullptr;
  void* context_ GUARDED_BY(lock_) = nullptr;
  bool ended_ GUARDED_BY(lock_) = false;
};

}  // namespace zdl
