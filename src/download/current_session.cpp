#include "download/current_session.h"

namespace lumo {

void CurrentSession::Publish(IZDownloadSession* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  session_ = session;
}

void CurrentSession::Withdraw() {
  std::lock_guard<std::mutex> lock(mutex_);
  session_ = nullptr;
}

IZDownloadSession* CurrentSession::Borrow() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_ != nullptr) session_->AddRef();
  return session_;
}

bool CurrentSession::Abort(int32_t* result) {
  IZDownloadSession* session = Borrow();
  if (session == nullptr) return false;
  const int32_t status = session->Abort();
  session->Release();
  if (result != nullptr) *result = status;
  return true;
}

int32_t CurrentSession::ApplyOption(int32_t engineId, const void* data, uint32_t size) {
  IZDownloadSession* session = Borrow();
  if (session == nullptr) return kZdlOk;
  const int32_t answer = session->SetOption(engineId, data, size);
  session->Release();
  return answer;
}

void SessionHold::Release() {
  if (session_ == nullptr) return;
  current_.Withdraw();
  IZDownloadSession* session = session_;
  session_ = nullptr;
  session->Release();
}

}  // namespace lumo
