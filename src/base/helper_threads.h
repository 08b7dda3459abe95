// Calls that no quit can interrupt (a host-address look-up, the WMI connection) run on helper
// threads, so that the thread that needs the answer waits for it only within a bound. Helpers
// are joined once they have finished; one still running when the module winds down is let go,
// and the library then stays loaded for good, so a helper never runs on unloaded code.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "platform/mutex.h"

namespace lumo {

class HelperThreads {
 public:
  // The process-wide set, never destroyed (helpers may outlive every other object).
  static HelperThreads& Instance();

  // Runs call on a helper thread of its own; its id, or 0 when no thread could be made (call not
  // run).
  uint64_t Launch(std::function<void()> call);
  // Joins a helper whose call has returned (at once: it is ending); unknown ids are ignored.
  void Join(uint64_t id);
  // Joins the helpers that have finished; those still running are detached and the library is
  // pinned. Called when the module winds down.
  void LetGo();
  // Helpers not yet joined or let go.
  size_t HeldForTest();

 private:
  struct Helper {
    uint64_t id;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  HelperThreads() = default;
  void JoinFinishedLocked() REQUIRES(lock_);

  Mutex lock_;
  std::list<Helper> helpers_ GUARDED_BY(lock_);
  uint64_t lastId_ GUARDED_BY(lock_) = 0;
};

}  // namespace lumo
