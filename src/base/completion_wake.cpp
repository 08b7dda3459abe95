#include "base/completion_wake.h"

namespace lumo {

bool CompletionWake::Attach(IZUnknown* object) {
  Detach();
  if (object == nullptr || object->QueryInterface(&IID_IZCompletionNotify, notify_.OutVoid()) < 0 ||
      !notify_) {
    notify_.Reset();
    return false;
  }
  wake_.Clear();
  quit_.Watch(&wake_);
  if (notify_->SetCompletionNotify(&CompletionWake::OnEnded, this) < 0) {
    quit_.Unwatch(&wake_);
    notify_.Reset();
    return false;
  }
  return true;
}

void CompletionWake::Detach() {
  if (!notify_) return;
  notify_->SetCompletionNotify(nullptr, nullptr);
  quit_.Unwatch(&wake_);
  notify_.Reset();
}

bool CompletionWake::WaitUntil(PollClock::time_point at) {
  if (!notify_) return !quit_.WaitUntil(at);
  wake_.WaitUntil(at);
  // The end comes once: a look follows this wake at once, later waits last until their look.
  wake_.Clear();
  return !quit_.IsRaised();
}

void CompletionWake::OnEnded(void* context) {
  static_cast<CompletionWake*>(context)->wake_.Raise();
}

}  // namespace lumo
