#include "base/worker_identity.h"

namespace lumo {

void WorkerIdentity::SetSid(std::string sid) {
  MutexLock lock(mutex_);
  sid_ = std::move(sid);
}

void WorkerIdentity::SetGameCode(std::string gameCode) {
  MutexLock lock(mutex_);
  gameCode_ = std::move(gameCode);
}

void WorkerIdentity::SetClientVersion(std::string clientVersion) {
  MutexLock lock(mutex_);
  clientVersion_ = std::move(clientVersion);
}

std::string WorkerIdentity::Sid() const {
  MutexLock lock(mutex_);
  return sid_;
}

std::string WorkerIdentity::GameCode() const {
  MutexLock lock(mutex_);
  return gameCode_;
}

std::string WorkerIdentity::ClientVersion() const {
  MutexLock lock(mutex_);
  return clientVersion_;
}

}  // namespace lumo
