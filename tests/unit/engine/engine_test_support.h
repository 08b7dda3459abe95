// Helpers of the engine tests: a started engine with its two services, a local server, a
// scratch directory, sessions run to their end, and a recording response handler.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine_services.h"
#include "local_services.h"
#include "path_text.h"
#include "support/scratch.h"
#include "zdl/zdl_engine.h"

namespace zdl {
namespace testing {

namespace fs = std::filesystem;

using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
inline lumo::WString Wide(const std::string& text) { return Utf8ToWide(text); }

// What a finished session reported.
struct SessionEnd {
  int32_t status = -1;
  int32_t result = -1;
  int32_t extended = 0;
  uint64_t total = 0;
  uint64_t downloaded = 0;
  ZdlFileInfo info{};
  std::chrono::milliseconds took{0};
  std::string detail;  // engine option 6
};

// Polls until the session reaches status 4 or 5; fails the test after `bound`.
SessionEnd WaitForEnd(IZDownloadSession* session,
                      std::chrono::milliseconds bound = std::chrono::seconds(60));
// Polls until the session reports `status` (or a final one); false after `bound`.
bool WaitForStatus(IZDownloadSession* session, int32_t status, std::chrono::milliseconds bound);

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A session for url into dir/name (name may be empty); null on failure.
  IZDownloadSession* NewSession(const std::string& url, const fs::path& dir,
                                const std::string& name, const std::string& checksumPath = "");
  // Creates, configures, starts and runs one session to its end.
  SessionEnd Download(const std::string& url, const fs::path& dir, const std::string& name,
                      const std::string& checksumPath = "", uint32_t maxSpeed = 0,
                      bool overwrite = false);

  lumo::services::LocalServices server_;
  fs::path dir_;
  IZDownloadService* downloads_ = nullptr;
  IZHttpService* http_ = nullptr;
};

// An IZHttpResponseHandler that records its calls.
class RecordingHandler final : public IZHttpResponseHandler {
 public:
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) override;
  uint32_t ZDL_STDCALL AddRef() override { return ++refs_; }
  uint32_t ZDL_STDCALL Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  int32_t ZDL_STDCALL OnBegin() override;
  int32_t ZDL_STDCALL OnStatusCode(uint32_t status) override;
  int32_t ZDL_STDCALL OnNotify(uint32_t what, uint32_t result, uint32_t, uint32_t) override;
  int32_t ZDL_STDCALL OnSignal() override { return 0; }
  int32_t ZDL_STDCALL OnData(const void* data, uint32_t length) override;
  int32_t ZDL_STDCALL OnComplete() override;

  bool WaitComplete(std::chrono::milliseconds bound);
  std::vector<std::string> Calls();
  std::string Body();
  uint32_t Status();
  uint32_t refs() const { return refs_.load(); }
  // OnData answers E_ABORT once the body holds more than this (set before Send).
  size_t refuseAfter = static_cast<size_t>(-1);

 private:
  ~RecordingHandler() = default;
  std::atomic<uint32_t> refs_{0};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;  // guarded by lock_
  std::string body_;                // guarded by lock_
  uint32_t status_ = 0;             // guarded by lock_
  bool complete_ = false;           // guarded by lock_
};

}  // namespace testing
}  // namespace zdl
