#include "engine_test_support.h"

#include <cstring>
#include <thread>

namespace zdl {
namespace testing {

namespace {

bool IsFinal(int32_t status) { return status == kZdlStatusDownloaded || status == kZdlStatusError; }

}  // namespace

SessionEnd WaitForEnd(IZDownloadSession* session, std::chrono::milliseconds bound) {
  SessionEnd end;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t average = 0, current = 0;
    session->GetStatus(&end.status, &end.total, &end.downloaded, &average, &current);
    if (IsFinal(end.status)) break;
    if (std::chrono::steady_clock::now() - start > bound) {
      ADD_FAILURE() << "session did not end, status " << end.status;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  end.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_EQ(session->GetResult(&end.result, &end.extended), kZdlOk);
  EXPECT_EQ(session->GetFileInfo(&end.info), kZdlOk);
  char detail[2048];
  uint32_t size = sizeof detail;
  if (session->GetOption(kZdlOptionFailureDetail, detail, &size) == kZdlOk) {
    end.detail.assign(detail, size);
  }
  return end;
}

bool WaitForStatus(IZDownloadSession* session, int32_t status, std::chrono::milliseconds bound) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int32_t now = -1;
    session->GetStatus(&now, nullptr, nullptr, nullptr, nullptr);
    if (now == status) return true;
    if (IsFinal(now) || std::chrono::steady_clock::now() - start > bound) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void EngineTest::SetUp() {
  ASSERT_TRUE(server_.Start());
  ASSERT_EQ(EngineInit(), kZdlOk);
  ASSERT_EQ(EngineGetObject(&IID_IZDownloadService, reinterpret_cast<void**>(&downloads_)), kZdlOk);
  ASSERT_EQ(EngineGetObject(&IID_IZHttpService, reinterpret_cast<void**>(&http_)), kZdlOk);
  dir_ = lumo::testing::TestDir();
}

void EngineTest::TearDown() {
  server_.Stop();
  if (downloads_) downloads_->Release();
  if (http_) http_->Release();
  EngineTerm();
}

IZDownloadSession* EngineTest::NewSession(const std::string& url, const fs::path& dir,
                                          const std::string& name,
                                          const std::string& checksumPath) {
  IZDownloadSession* session = nullptr;
  lumo::WString wideDir = Wide(dir.string());
  lumo::WString wideName = Wide(name);
  lumo::WString wideChecksum = Wide(checksumPath);
  int32_t status =
      downloads_->CreateSession(url.c_str(), checksumPath.empty() ? nullptr : wideChecksum.c_str(),
                                wideDir.c_str(), wideName.c_str(), &session);
  EXPECT_EQ(status, kZdlOk);
  return status == kZdlOk ? session : nullptr;
}

SessionEnd EngineTest::Download(const std::string& url, const fs::path& dir,
                                const std::string& name, const std::string& checksumPath,
                                uint32_t maxSpeed, bool overwrite) {
  IZDownloadSession* session = NewSession(url, dir, name, checksumPath);
  if (!session) return SessionEnd();
  EXPECT_EQ(session->SetOption(kZdlOptionMaxSpeed, &maxSpeed, sizeof maxSpeed), kZdlOk);
  uint8_t flag = overwrite ? 1 : 0;
  EXPECT_EQ(session->SetOption(kZdlOptionOverwrite, &flag, 1), kZdlOk);
  EXPECT_EQ(session->Start(), kZdlOk);
  SessionEnd end = WaitForEnd(session);
  session->Release();
  return end;
}

int32_t RecordingHandler::QueryInterface(const ZdlGuid* iid, void** out) {
  if (std::memcmp(iid, &IID_IZHttpResponseHandler, sizeof(ZdlGuid)) != 0) return kZdlNoInterface;
  AddRef();
  *out = this;
  return kZdlOk;
}

int32_t RecordingHandler::OnBegin() {
  std::lock_guard<std::mutex> lock(lock_);
  calls_.push_back("begin");
  return 0;
}

int32_t RecordingHandler::OnStatusCode(uint32_t status) {
  std::lock_guard<std::mutex> lock(lock_);
  calls_.push_back("status " + std::to_string(status));
  status_ = status;
  return 0;
}

int32_t RecordingHandler::OnNotify(uint32_t what, uint32_t result, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> lock(lock_);
  calls_.push_back(what == kZdlNotifyIncomplete ? "incomplete " + std::to_string(result)
                                                : "notify " + std::to_string(what));
  return 0;
}

int32_t RecordingHandler::OnData(const void* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(lock_);
  if (calls_.empty() || calls_.back() != "data") calls_.push_back("data");
  body_.append(static_cast<const char*>(data), length);
  return body_.size() > refuseAfter ? static_cast<int32_t>(0x80004004u) : 0;
}

int32_t RecordingHandler::OnComplete() {
  std::lock_guard<std::mutex> lock(lock_);
  calls_.push_back("complete");
  complete_ = true;
  changed_.notify_all();
  return 0;
}

bool RecordingHandler::WaitComplete(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, bound, [this] { return complete_; });
}

std::vector<std::string> RecordingHandler::Calls() {
  std::lock_guard<std::mutex> lock(lock_);
  return calls_;
}

std::string RecordingHandler::Body() {
  std::lock_guard<std::mutex> lock(lock_);
  return body_;
}

uint32_t RecordingHandler::Status() {
  std::lock_guard<std::mutex> lock(lock_);
  return status_;
}

}  // namespace testing
}  // namespace zdl
