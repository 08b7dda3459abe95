// The engine session of the attempt in progress, as the host's threads see it. The worker
// thread owns the session's reference; it publishes the session while the attempt runs and
// withdraws it before releasing. The host's Pause/Stop/SetOption take their own reference under
// the lock, so they never touch a session after its last release.
#pragma once

#include <cstdint>

#include "base/completion_wake.h"
#include "platform/com_ref.h"
#include "platform/mutex.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class CurrentSession {
 public:
  void Publish(IZDownloadSession* session);
  void Withdraw();
  // Abort() of the published session; false when there is none.
  bool Abort(int32_t* result);
  // SetOption() of the published session and its answer; 0 when there is none.
  int32_t ApplyOption(int32_t engineId, const void* data, uint32_t size);

 private:
  // The published session with a reference of the caller's own, or empty.
  ComRef<IZDownloadSession> Borrow();

  Mutex mutex_;
  IZDownloadSession* session_ GUARDED_BY(mutex_) = nullptr;  // not owned
};

// Owns the worker's reference to one session: withdraws and releases it exactly once. Its
// waits end early when the started session ends (when the engine can tell) or on quit.
class SessionHold {
 public:
  SessionHold(CurrentSession& current, const Signal& quit) : current_(current), wake_(quit) {}
  ~SessionHold() { Release(); }
  SessionHold(const SessionHold&) = delete;
  SessionHold& operator=(const SessionHold&) = delete;

  IZDownloadSession** Slot() { return session_.Out(); }
  IZDownloadSession* Get() const { return session_.Get(); }
  void Publish() { current_.Publish(session_.Get()); }
  // From now on WaitUntil also ends at the session's end.
  void WatchEnd() { wake_.Attach(session_.Get()); }
  // The wait function of the session's polls; false on quit.
  bool WaitUntil(PollClock::time_point at) { return wake_.WaitUntil(at); }
  // Withdraws the session from the host's view and gives up the worker's reference.
  void Release();

 private:
  CurrentSession& current_;
  ComRef<IZDownloadSession> session_;
  CompletionWake wake_;  // detached before the session is released
};

}  // namespace lumo
