// The engine's process-wide state: whether it is running, and every thread it has started, so
// mod_term can stop them all and wait for them.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "platform/mutex.h"

namespace zdl {

// One engine thread. `cancel` must make `body` return promptly; it may run on any thread.
class EngineTask {
 public:
  EngineTask(std::function<void()> body, std::function<void()> cancel)
      : body_(std::move(body)), cancel_(std::move(cancel)) {}

  void Cancel() {
    if (cancel_) cancel_();
  }

 private:
  friend class EngineRuntime;
  void Run();

  std::function<void()> body_;
  std::function<void()> cancel_;
  std::thread thread_;  // joined once, by the thread that claimed it
  lumo::Mutex lock_;
  bool done_ GUARDED_BY(lock_) = false;
  // Guarded by the runtime's lock (another object's, which the annotations cannot name): a
  // thread has taken on the join / the join is over.
  bool claimed_ = false;
  bool joined_ = false;
};

class EngineRuntime {
 public:
  static EngineRuntime& Instance();

  // Starts (or restarts after Stop) the engine; false when the HTTP stack is unusable.
  bool Start();
  // Cancels every engine thread and waits for all of them, those that another thread is
  // finishing included. Later Launch calls fail.
  void Stop();
  bool IsRunning();

  // Runs body on a new engine thread; null when the engine is not running.
  std::shared_ptr<EngineTask> Launch(std::function<void()> body, std::function<void()> cancel);
  // Waits until the task's thread has ended.
  void Finish(const std::shared_ptr<EngineTask>& task);

 private:
  // Joins the task's thread, or waits while another thread joins it. A task stays in tasks_
  // until its join is over, so Stop always sees it.
  void Join(const std::shared_ptr<EngineTask>& task);
  void ReapLocked() REQUIRES(lock_);

  lumo::Mutex lock_;
  lumo::CondVar joined_;  // a join is over
  bool running_ GUARDED_BY(lock_) = false;
  std::list<std::shared_ptr<EngineTask>> tasks_ GUARDED_BY(lock_);
};

}  // namespace zdl
