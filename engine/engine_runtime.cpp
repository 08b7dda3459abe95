#include "engine_runtime.h"

#include <new>
#include <vector>

#include "transport/transport.h"

namespace zdl {

void EngineTask::Run() {
  try {
    body_();
  } catch (...) {
    // Nothing may escape an engine thread; the body reports its own failures.
  }
  std::lock_guard<std::mutex> lock(lock_);
  done_ = true;
  changed_.notify_all();
}

void EngineTask::WaitDone() {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return done_; });
}

EngineRuntime& EngineRuntime::Instance() {
  // Static storage, never destroyed: threads may outlive exit, and unloading the library
  // leaves nothing allocated behind.
  alignas(EngineRuntime) static unsigned char storage[sizeof(EngineRuntime)];
  static EngineRuntime* const runtime = new (storage) EngineRuntime();
  return *runtime;
}

bool EngineRuntime::Start() {
  if (!TransportGlobalInit()) return false;
  std::lock_guard<std::mutex> lock(lock_);
  running_ = true;
  return true;
}

bool EngineRuntime::IsRunning() {
  std::lock_guard<std::mutex> lock(lock_);
  return running_;
}

void EngineRuntime::Stop() {
  std::list<std::shared_ptr<EngineTask>> tasks;
  {
    std::lock_guard<std::mutex> lock(lock_);
    running_ = false;
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) task->Cancel();
  for (auto& task : tasks) {
    if (task->thread_.get_id() == std::this_thread::get_id()) {
      task->thread_.detach();  // mod_term from inside an engine callback: cannot wait for itself
    } else if (task->thread_.joinable()) {
      task->thread_.join();
    }
  }
}

void EngineRuntime::ReapLocked() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    bool done;
    {
      std::lock_guard<std::mutex> taskLock((*it)->lock_);
      done = (*it)->done_;
    }
    if (done && (*it)->thread_.get_id() != std::this_thread::get_id()) {
      if ((*it)->thread_.joinable()) (*it)->thread_.join();
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<EngineTask> EngineRuntime::Launch(std::function<void()> body,
                                                  std::function<void()> cancel) {
  std::lock_guard<std::mutex> lock(lock_);
  if (!running_) return nullptr;
  ReapLocked();
  auto task = std::make_shared<EngineTask>(std::move(body), std::move(cancel));
  try {
    task->thread_ = std::thread([task] { task->Run(); });
  } catch (...) {
    return nullptr;
  }
  tasks_.push_back(task);
  return task;
}

void EngineRuntime::Finish(const std::shared_ptr<EngineTask>& task) {
  if (!task) return;
  bool owned = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
      if (*it == task) {
        tasks_.erase(it);
        owned = true;
        break;
      }
    }
  }
  if (task->thread_.get_id() == std::this_thread::get_id()) {
    if (owned) task->thread_.detach();  // its body is on this very stack
    return;
  }
  if (owned) {
    if (task->thread_.joinable()) task->thread_.join();
  } else {
    task->WaitDone();  // Stop has taken it and joins it
  }
}

}  // namespace zdl
