#include "base/helper_threads.h"

#include <new>

#include "platform/platform.h"

namespace lumo {

HelperThreads& HelperThreads::Instance() {
  alignas(HelperThreads) static unsigned char storage[sizeof(HelperThreads)];
  static HelperThreads* const instance = new (storage) HelperThreads();
  return *instance;
}

uint64_t HelperThreads::Launch(std::function<void()> call) {
  try {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    MutexLock hold(lock_);
    JoinFinishedLocked();
    std::thread thread([call = std::move(call), finished] {
      try {
        call();
      } catch (...) {
        // The thread's top: nothing escapes into the runtime.
      }
      finished->store(true);
    });
    helpers_.push_back(Helper{++lastId_, std::move(thread), std::move(finished)});
    return lastId_;
  } catch (...) {
    return 0;
  }
}

void HelperThreads::Join(uint64_t id) {
  std::thread thread;
  {
    MutexLock hold(lock_);
    for (auto it = helpers_.begin(); it != helpers_.end(); ++it) {
      if (it->id == id) {
        thread = std::move(it->thread);
        helpers_.erase(it);
        break;
      }
    }
  }
  if (thread.joinable()) thread.join();
}

void HelperThreads::LetGo() {
  MutexLock hold(lock_);
  JoinFinishedLocked();
  if (helpers_.empty()) return;
  platform::PinThisLibrary();
  for (Helper& helper : helpers_) helper.thread.detach();
  helpers_.clear();
}

size_t HelperThreads::HeldForTest() {
  MutexLock hold(lock_);
  return helpers_.size();
}

void HelperThreads::JoinFinishedLocked() {
  for (auto it = helpers_.begin(); it != helpers_.end();) {
    if (it->finished->load()) {
      it->thread.join();  // past its call: it is ending now
      it = helpers_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace lumo
