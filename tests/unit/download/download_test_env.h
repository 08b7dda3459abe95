// Shared pieces of the download job's and the source steps' tests: a worker on the fake engine
// with short intervals, and the telemetry bodies it sent.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/option_store.h"
#include "base/text_conversion.h"
#include "download/download_worker.h"
#include "form_body.h"
#include "support/fake_engine.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace testing {

using std::chrono::milliseconds;
using Form = std::map<std::string, std::string>;

inline FakeHttpAnswer Answer(uint32_t status, std::string body) {  // created, sent, a status
  return FakeHttpAnswer{kZdlOk, kZdlOk, true, status, std::move(body)};
}

class DownloadTest : public ::testing::Test {
 protected:
  // Every service on a closed port: only the fake engine answers.
  explicit DownloadTest(const std::string& cdnHost = "cdn.lumo.test", std::string exeDir = "")
      : endpoints_{"http://127.0.0.1:9/post", "http://127.0.0.1:9/cdn-domain/",
                   "http://127.0.0.1:9/?ws_domain=", cdnHost},
        exeDir_(std::move(exeDir)),
        saveDir_(TestDir().string()) {
    timing_.workerPoll = timing_.sessionPoll = timing_.httpPoll = milliseconds(1);
    timing_.telemetryPoll = timing_.senderIdle = milliseconds(1);
    timing_.senderStop = milliseconds(200);  // stallPolls 120 as in production
    timing_.destructorWait = milliseconds(2000);
    Renew();
  }
  // A fresh engine, reporter and worker. The CDN configuration names no preferred domain.
  void Renew() {
    worker_.reset();
    reporter_.reset();
    engine_.reset(new FakeEngine);
    // Telemetry posts get an empty 200, HTTP DNS queries their answer, other GETs (the CDN
    // configuration) the other one.
    engine_->SetHttpResponder([this](const FakeHttpRequestRecord& request) {
      std::lock_guard<std::mutex> hold(lock_);
      if (request.method != kZdlMethodGet) return FakeHttpAnswer{};
      return request.url.rfind(endpoints_.httpDnsUrl, 0) == 0 ? dnsAnswer_ : getAnswer_;
    });
    reporter_.reset(new Reporter(engine_->HttpService(), endpoints_.reportUrl, timing_));
    worker_.reset(new DownloadWorker(timing_, endpoints_, engine_->DownloadService(),
                                     engine_->HttpService(), *reporter_, options_,
                                     WideOfUtf8(exeDir_)));
  }
  void SetAnswers(FakeHttpAnswer get, FakeHttpAnswer dns = Answer(404, "")) {
    std::lock_guard<std::mutex> hold(lock_);
    getAnswer_ = std::move(get);
    dnsAnswer_ = std::move(dns);
  }
  DownloadJob MakeJob(std::vector<std::string> urls, const std::string& fileName = "",
                      const std::string* saveDir = nullptr) {
    DownloadJob job;
    job.urls = std::move(urls);
    CopyIntoJobBuffer(WideOfUtf8(saveDir ? *saveDir : saveDir_).c_str(), &job.saveDir);
    CopyIntoJobBuffer(WideOfUtf8(fileName).c_str(), &job.fileName);
    return job;
  }
  static FakeSessionScript Succeeds(uint64_t size = 100) {
    return {kZdlOk, kZdlOk, kZdlOk, false, {{3, size, size / 2, 10, 10}, {4, size, size, 10, 10}}};
  }
  static FakeSessionScript Fails(int32_t result, int32_t extendedCode = 0) {
    return {kZdlOk, kZdlOk, kZdlOk, false, {{5, 0, 0, 0, 0}}, result, extendedCode};
  }
  void Queue(const std::vector<FakeSessionScript>& scripts) {
    for (const FakeSessionScript& script : scripts) engine_->QueueSession(script);
  }
  // The bodies of one event type (all when empty) the reporter sent so far, once its queue has
  // drained, decoded by the collector's own rules.
  std::vector<Form> SentEvents(const std::string& eventType = std::string()) {
    engine_->WaitUntil([this] { return reporter_->PendingForTest() == 0; });
    std::vector<Form> events;
    for (const FakeHttpRequestRecord& request : engine_->Seen().httpRequests) {
      services::FormPairs pairs;
      services::ParseForm(request.body, pairs);
      Form form(pairs.begin(), pairs.end());
      if (eventType.empty() || form["eventType"] == eventType) events.push_back(form);
    }
    return events;
  }
  std::vector<std::string> CreatedUrls() const { return engine_->Seen().SessionUrls(); }
  std::string PathOf(const std::string& name) const {
    return saveDir_ + platform::kPathSeparator + name;
  }

  const Endpoints endpoints_;
  const std::string exeDir_;
  std::string saveDir_;
  Timing timing_;
  OptionStore options_;
  std::mutex lock_;  // the answers' (the engine, reporter and worker go first)
  FakeHttpAnswer getAnswer_ = Answer(200, "{}"), dnsAnswer_ = Answer(200, "{}");
  std::unique_ptr<FakeEngine> engine_;
  std::unique_ptr<Reporter> reporter_;
  std::unique_ptr<DownloadWorker> worker_;
};

}  // namespace testing
}  // namespace lumo
