#include "base/worker_identity.h"

namespace lumo {

void WorkerIdentity::SetSid(std::string sid) {
  std::lock_guard<std::mutex> lock(mutex_);
  sid_ = std::move(sid);
}

void WorkerIdentity::SetGameCode(std::string gameCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  gameCode_ = std::move(gameCode);
}

void WorkerIdentity::SetClientVersion(std::string clientVersion) {
  std::lock_guard<std::mutex> lock(mutex_);
  clientVersion_ = std::move(clientVersion);
}

std::string WorkerIdentity::Sid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sid_;
}

std::string WorkerIdentity::GameCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gameCode_;
}

std::string WorkerIdentity::ClientVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clientVersion_;
}

}  // namespace lumo
