#include "engine_runtime.h"

#include <new>
#include <vector>

#include "platform/platform.h"
#include "transport/transport.h"

namespace zdl {

void EngineTask::Run() {
  try {
    body_();
  } catch (...) {
    // Nothing may escape an engine thread; the body reports its own failures.
  }
  lumo::MutexLock lock(lock_);
  done_ = true;
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
  lumo::MutexLock lock(lock_);
  running_ = true;
  return true;
}

bool EngineRuntime::IsRunning() {
  lumo::MutexLock lock(lock_);
  return running_;
}

void EngineRuntime::Stop() {
  std::list<std::shared_ptr<EngineTask>> tasks;
  {
    lumo::MutexLock lock(lock_);
    running_ = false;
    tasks = tasks_;
  }
  for (auto& task : tasks) task->Cancel();
  for (auto& task : tasks) Join(task);
  TransportCloseIdle();
}

void EngineRuntime::Join(const std::shared_ptr<EngineTask>& task) {
  lumo::MutexLock lock(lock_);
  if (task->joined_) return;
  if (task->claimed_) {
    while (!task->joined_) joined_.Wait(lock_);
    return;
  }
  task->claimed_ = true;
  if (task->thread_.get_id() == std::this_thread::get_id()) {
    // Called from inside the task (an engine callback): it cannot wait for itself. Its last
    // steps run after the caller may have let the library go, so the library stays loaded.
    lumo::platform::PinThisLibrary();
    task->thread_.detach();
  } else {
    lock.Unlock();
    if (task->thread_.joinable()) task->thread_.join();
    lock.Lock();
  }
  task->joined_ = true;
  tasks_.remove(task);
  joined_.NotifyAll();
}

void EngineRuntime::ReapLocked() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    const std::shared_ptr<EngineTask>& task = *it;
    bool done;
    {
      lumo::MutexLock taskLock(task->lock_);
      done = task->done_;
    }
    if (done && !task->claimed_ && task->thread_.get_id() != std::this_thread::get_id()) {
      // Past its body: the thread is ending now.
      task->claimed_ = true;
      if (task->thread_.joinable()) task->thread_.join();
      task->joined_ = true;
      it = tasks_.erase(it);
      joined_.NotifyAll();
    } else {
      ++it;
    }
  }
}

std::shared_ptr<EngineTask> EngineRuntime::Launch(std::function<void()> body,
                                                  std::function<void()> cancel) {
  lumo::MutexLock lock(lock_);
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
  if (task) Join(task);
}

}  // namespace zdl
