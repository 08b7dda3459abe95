// Shared pieces of the source-selection tests: a real worker on the fake engine with short
// intervals, the CDN host "localhost" (so telemetry's host look-ups never leave the machine),
// an executable folder of its own, and per-endpoint HTTP answers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../download/download_test_env.h"
#include "download/download_worker.h"

namespace lumo {
namespace testing {

inline Endpoints SourceEndpoints() {
  return Endpoints{"http://127.0.0.1:9/post", "http://127.0.0.1:9/cdn-domain/",
                   "http://127.0.0.1:9/?ws_domain=", "localhost"};
}

inline std::string Md5Of(const std::string& content) { return Md5Hex(content); }

inline std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

inline bool IsTimestampSuffix(const std::string& text) {
  if (text.size() != 17) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

inline FakeHttpAnswer Answer(uint32_t status, std::string body) {
  FakeHttpAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

class SourceTest : public DownloadTest {
 protected:
  SourceTest() {
    root_ = TestDir().string();
    saveDir_ = root_ + "/save";
    exeDir_ = root_ + "/exe/";
    platform::CreateDirectories(WideOfUtf8(saveDir_));
    platform::CreateDirectories(WideOfUtf8(exeDir_));
    engine_.SetHttpResponder([this](const FakeHttpRequestRecord& request) {
      std::lock_guard<std::mutex> hold(answersLock_);
      const Endpoints endpoints = SourceEndpoints();
      if (request.url.rfind(endpoints.cdnConfigUrl, 0) == 0) return cdnAnswer_;
      if (request.url.rfind(endpoints.httpDnsUrl, 0) == 0) return dnsAnswer_;
      return FakeHttpAnswer{};  // telemetry posts
    });
    worker_.reset(new DownloadWorker(timing_, SourceEndpoints(), engine_.DownloadService(),
                                     engine_.HttpService(), reporter_, options_,
                                     WideOfUtf8(exeDir_)));
  }
  ~SourceTest() override { worker_.reset(); }

  void SetCdnAnswer(FakeHttpAnswer answer) {
    std::lock_guard<std::mutex> hold(answersLock_);
    cdnAnswer_ = std::move(answer);
  }
  void SetDnsAnswer(FakeHttpAnswer answer) {
    std::lock_guard<std::mutex> hold(answersLock_);
    dnsAnswer_ = std::move(answer);
  }

  // A successful transfer that leaves content at path, as the engine would.
  static FakeSessionScript Serves(const std::string& path, const std::string& content) {
    FakeSessionScript script = Succeeds();
    script.onPoll = [path, content](size_t pollIndex) {
      if (pollIndex == 0) WriteFile(path, content);
    };
    return script;
  }

  std::string ChecksumDir() const { return exeDir_ + "checksum/"; }

  // Names in a folder, sorted.
  static std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static void RemoveTree(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }

  // GET requests whose URL starts with prefix, in order.
  std::vector<FakeHttpRequestRecord> GetsTo(const std::string& prefix) const {
    std::vector<FakeHttpRequestRecord> gets;
    for (const FakeHttpRequestRecord& request : engine_.HttpRequests()) {
      if (request.method == kZdlMethodGet && request.url.rfind(prefix, 0) == 0) {
        gets.push_back(request);
      }
    }
    return gets;
  }

  std::string root_;
  std::string exeDir_;
  std::unique_ptr<DownloadWorker> worker_;  // the real one: its fallback is under test here

 private:
  std::mutex answersLock_;
  FakeHttpAnswer cdnAnswer_ = Answer(200, "{}");  // guarded by answersLock_
  FakeHttpAnswer dnsAnswer_ = Answer(404, "");    // guarded by answersLock_
};

}  // namespace testing
}  // namespace lumo
