// The host's identity texts (sid, game code, client version) that every telemetry event
// carries. Set from the host's thread, read from the worker thread.
#pragma once

#include <string>

#include "platform/mutex.h"

namespace lumo {

class WorkerIdentity {
 public:
  void SetSid(std::string sid);
  void SetGameCode(std::string gameCode);
  void SetClientVersion(std::string clientVersion);
  std::string Sid() const;
  std::string GameCode() const;
  std::string ClientVersion() const;

  // The one identity fill: copies the three texts, read together, into a telemetry record (any
  // record with sid, gameCode and clientVersion fields).
  template <typename Event>
  void FillEvent(Event* event) const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    event->sid = sid_;
    event->gameCode = gameCode_;
    event->clientVersion = clientVersion_;
  }

 private:
  mutable Mutex mutex_;
  std::string sid_ GUARDED_BY(mutex_);
  std::string gameCode_ GUARDED_BY(mutex_);
  std::string clientVersion_ GUARDED_BY(mutex_);
};

}  // namespace lumo
