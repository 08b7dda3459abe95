// The engine's process-wide state: whether it is running, and every thread it has started, so
// mod_term can stop them all and wait for them.
#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace zdl {

// One engine thread. `cancel` must make `body` return promptly; it may run on any thread.
class EngineTask {
 public:
  EngineTask(std::function<void()> body, std::function<void()> cancel)
      : body_(std::move(body)), cancel_(std::move(cancel)) {}

  void Cancel() {
    if (cancel_) cancel_();
  }
  // Blocks until the body has returned.
  void WaitDone();

 private:
  friend class EngineRuntime;
  void Run();

  std::function<void()> body_;
  std::function<void()> cancel_;
  std::thread thread_;  // joined by whoever takes the task out of the runtime's list
  std::mutex lock_;
  std::condition_variable changed_;
  bool done_ = false;  // guarded by lock_
};

class EngineRuntime {
 public:
  static EngineRuntime& Instance();

  // Starts (or restarts after Stop) the engine; false when the HTTP stack is unusable.
  bool Start();
  // Cancels every engine thread and waits for all of them. Later Launch calls fail.
  void Stop();
  bool IsRunning();

  // Runs body on a new engine thread; null when the engine is not running.
  std::shared_ptr<EngineTask> Launch(std::function<void()> body, std::function<void()> cancel);
  // Waits until the task's thread has ended. Not from the task's own thread.
  void Finish(const std::shared_ptr<EngineTask>& task);

 private:
  void ReapLocked();

  std::mutex lock_;
  bool running_ = false;                          // guarded by lock_
  std::list<std::shared_ptr<EngineTask>> tasks_;  // guarded by lock_
};

}  // namespace zdl
