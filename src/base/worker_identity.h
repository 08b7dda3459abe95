// The host's identity texts (sid, game code, client version) that every telemetry event
// carries. Set from the host's thread, read from the worker thread.
#pragma once

#include <mutex>
#include <string>

namespace lumo {

class WorkerIdentity {
 public:
  void SetSid(std::string sid);
  void SetGameCode(std::string gameCode);
  void SetClientVersion(std::string clientVersion);
  std::string Sid() const;
  std::string GameCode() const;
  std::string ClientVersion() const;

 private:
  mutable std::mutex mutex_;
  std::string sid_;            // guarded by mutex_
  std::string gameCode_;       // guarded by mutex_
  std::string clientVersion_;  // guarded by mutex_
};

}  // namespace lumo
