// What the engine tests share: a started engine with its two services and the local fault
// server, sessions run to their end, and a response handler that records its calls.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_services.h"
#include "local_services.h"
#include "path_text.h"
#include "support/scratch.h"
#include "zdl/zdl_engine.h"

namespace zdl {
namespace testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumo::testing::Md5Hex;
using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
using lumo::testing::WriteFile;
inline lumo::WString Wide(const std::string& text) { return Utf8ToWide(text); }

struct SessionEnd {
  int32_t status = -1, result = -1, extended = 0;
  uint64_t total = 0, downloaded = 0;
  ZdlFileInfo info{};
  std::chrono::milliseconds took{0};
  std::string detail;  // the failure detail option
};

inline bool IsFinal(int32_t status) {
  return status == kZdlStatusDownloaded || status == kZdlStatusError;
}

// Polls until the session ends; fails the test after `bound`.
inline SessionEnd WaitForEnd(IZDownloadSession* session, std::chrono::milliseconds bound = 60s) {
  SessionEnd end;
  const auto start = std::chrono::steady_clock::now();
  for (;; std::this_thread::sleep_for(5ms)) {
    session->GetStatus(&end.status, &end.total, &end.downloaded, nullptr, nullptr);
    if (IsFinal(end.status)) break;
    if (std::chrono::steady_clock::now() - start > bound) {
      ADD_FAILURE() << "session did not end, status " << end.status;
      return end;
    }
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

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    ASSERT_EQ(EngineInit(), kZdlOk);
    ASSERT_EQ(EngineGetObject(&IID_IZDownloadService, reinterpret_cast<void**>(&downloads_)),
              kZdlOk);
    ASSERT_EQ(EngineGetObject(&IID_IZHttpService, reinterpret_cast<void**>(&http_)), kZdlOk);
    dir_ = lumo::testing::TestDir();
  }
  void TearDown() override {
    server_.Stop();
    if (downloads_) downloads_->Release();
    if (http_) http_->Release();
    EngineTerm();
  }
  // A session for url into dir/name (an empty name comes from the URL); null on failure.
  IZDownloadSession* NewSession(const std::string& url, const fs::path& dir,
                                const std::string& name, const std::string& manifest = "") {
    IZDownloadSession* session = nullptr;
    EXPECT_EQ(
        downloads_->CreateSession(url.c_str(), manifest.empty() ? nullptr : Wide(manifest).c_str(),
                                  Wide(dir.string()).c_str(), Wide(name).c_str(), &session),
        kZdlOk);
    return session;
  }
  SessionEnd Download(const std::string& url, const fs::path& dir, const std::string& name,
                      const std::string& manifest = "") {
    IZDownloadSession* session = NewSession(url, dir, name, manifest);
    if (!session) return SessionEnd();
    EXPECT_EQ(session->Start(), kZdlOk);
    SessionEnd end = WaitForEnd(session);
    session->Release();
    return end;
  }

  lumo::services::LocalServices server_;
  fs::path dir_;
  IZDownloadService* downloads_ = nullptr;
  IZHttpService* http_ = nullptr;
};

// Records the calls it hears: "begin", "status N", "data", "incomplete N", "complete".
class RecordingHandler final : public IZHttpResponseHandler {
 public:
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override {
    if (std::memcmp(iid, &IID_IZHttpResponseHandler, sizeof(ZdlGuid)) != 0) return kZdlNoInterface;
    AddRef();
    *out = this;
    return kZdlOk;
  }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs_; }
  uint32_t ZDL_STDCALL Release() override {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  int32_t ZDL_STDCALL OnBegin() override { return Note("begin"); }
  int32_t ZDL_STDCALL OnStatusCode(uint32_t status) override {
    return Note("status " + std::to_string(status));
  }
  int32_t ZDL_STDCALL OnNotify(uint32_t what, uint32_t result, uint32_t, uint32_t) override {
    return Note(what == kZdlNotifyIncomplete ? "incomplete " + std::to_string(result)
                                             : "notify " + std::to_string(what));
  }
  int32_t ZDL_STDCALL OnSignal() override { return 0; }
  int32_t ZDL_STDCALL OnData(const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (calls_.empty() || calls_.back() != "data") calls_.push_back("data");
    body_.append(static_cast<const char*>(data), length);
    return body_.size() > refuseAfter ? static_cast<int32_t>(0x80004004u) : 0;  // E_ABORT
  }
  int32_t ZDL_STDCALL OnComplete() override { return Note("complete"); }

  bool WaitComplete(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, bound,
                             [this] { return calls_.size() && calls_.back() == "complete"; });
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(lock_);
    return calls_;
  }
  std::string Body() {
    std::lock_guard<std::mutex> lock(lock_);
    return body_;
  }
  uint32_t refs() const { return refs_.load(); }
  size_t refuseAfter = static_cast<size_t>(-1);  // OnData refuses a body longer than this

 private:
  ~RecordingHandler() = default;
  int32_t Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(lock_);
    calls_.push_back(call);
    changed_.notify_all();
    return 0;
  }
  std::atomic<uint32_t> refs_{0};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;  // guarded by lock_
  std::string body_;                // guarded by lock_
};

}  // namespace testing
}  // namespace zdl
