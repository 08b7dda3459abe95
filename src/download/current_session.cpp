#include "download/current_session.h"

namespace lumo {

void CurrentSession::Publish(IZDownloadSession* session) {
  MutexLock lock(mutex_);
  session_ = session;
}

void CurrentSession::Withdraw() {
  MutexLock lock(mutex_);
  session_ = nullptr;
}

ComRef<IZDownloadSession> CurrentSession::Borrow() {
  MutexLock lock(mutex_);
  return ComRef<IZDownloadSession>::Share(session_);
}

bool CurrentSession::Abort(int32_t* result) {
  const ComRef<IZDownloadSession> session = Borrow();
  if (!session) return false;
  const int32_t status = session->Abort();
  if (result != nullptr) *result = status;
  return true;
}

int32_t CurrentSession::ApplyOption(int32_t engineId, const void* data, uint32_t size) {
  const ComRef<IZDownloadSession> session = Borrow();
  if (!session) return kZdlOk;
  const int32_t answer = session->SetOption(engineId, data, size);
  return answer;
}

void SessionHold::Release() {
  if (!session_) return;
  wake_.Detach();
  current_.Withdraw();
  session_.Reset();
}

}  // namespace lumo
