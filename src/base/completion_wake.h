// The wait function of PollUntilDone for work an engine object does: when the engine offers
// IZCompletionNotify for the object, a wait ends as soon as the object has ended; without it, a
// wait lasts until its look as before. Either way a raised quit ends the wait.
#pragma once

#include "base/poll_until_done.h"
#include "base/signal.h"
#include "platform/com_ref.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class CompletionWake {
 public:
  explicit CompletionWake(const Signal& quit) : quit_(quit) {}
  ~CompletionWake() { Detach(); }
  CompletionWake(const CompletionWake&) = delete;
  CompletionWake& operator=(const CompletionWake&) = delete;

  // Watches object (a session or an HTTP request); false when the engine does not offer the
  // notification for it. Detach before the object's last reference goes.
  bool Attach(IZUnknown* object);
  // No notification reaches this wake any more, and its reference to the object is gone.
  void Detach();
  // Waits until at, the object's end or a quit; false on a quit.
  bool WaitUntil(PollClock::time_point at);

 private:
  static void ZDL_CDECL OnEnded(void* context);

  const Signal& quit_;
  Signal wake_;  // raised by the object's end and by quit_ while attached
  ComRef<IZCompletionNotify> notify_;
};

}  // namespace lumo
