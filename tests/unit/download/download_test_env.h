// Shared pieces of the download job's and the source steps' tests: a worker on the fake engine
// with short intervals, and the telemetry bodies it sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/download_job.h"
#include "base/endpoints.h"
#include "base/option_store.h"
#include "base/text_conversion.h"
#include "base/timing.h"
#include "download/download_worker.h"
#include "form_body.h"
#include "platform/platform.h"
#include "support/fake_engine.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace testing {

using std::chrono::milliseconds;

inline Timing FastTiming() {
  Timing t;
  t.workerPoll = t.sessionPoll = t.httpPoll = t.telemetryPoll = t.senderIdle = milliseconds(1);
  t.senderStop = milliseconds(200);
  t.destructorWait = milliseconds(2000);
  return t;  // stallPolls 120 and milestonePolls 600 as in production
}

inline Endpoints TestEndpoints() {
  return Endpoints{"http://127.0.0.1:9/post", "http://127.0.0.1:9/cdn-domain/",
                   "http://127.0.0.1:9/?ws_domain=", "cdn.lumo.test"};
}

using Form = std::map<std::string, std::string>;

// A telemetry body's pairs, decoded by the collector's own rules.
inline Form ParseForm(const std::string& body) {
  services::FormPairs pairs;
  services::ParseForm(body, pairs);
  return Form(pairs.begin(), pairs.end());
}

// The bodies of one event type (all when empty) the engine was given to post.
inline std::vector<Form> Posted(const FakeEngine& engine, const std::string& eventType = "") {
  std::vector<Form> events;
  for (const FakeHttpRequestRecord& request : engine.HttpRequests()) {
    Form form = ParseForm(request.body);
    if (eventType.empty() || form["eventType"] == eventType) events.push_back(form);
  }
  return events;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : timing_(FastTiming()),
        reporter_(engine_.HttpService(), TestEndpoints().reportUrl, timing_),
        worker_(new DownloadWorker(timing_, TestEndpoints(), engine_.DownloadService(),
                                   engine_.HttpService(), reporter_, options_, WString())) {
    saveDir_ = TestDir().string();
    // The CDN configuration endpoint names no preferred domain: jobs keep their URL order.
    engine_.SetHttpResponder([](const FakeHttpRequestRecord& request) {
      FakeHttpAnswer answer;
      if (request.method == kZdlMethodGet) answer.body = "{}";
      return answer;
    });
  }
  ~DownloadTest() override { worker_.reset(); }

  DownloadJob MakeJob(std::vector<std::string> urls, const std::string& fileName = "",
                      const std::string* saveDir = nullptr) {
    DownloadJob job;
    job.urls = std::move(urls);
    CopyIntoJobBuffer(WideOfUtf8(saveDir ? *saveDir : saveDir_).c_str(), &job.saveDir);
    CopyIntoJobBuffer(WideOfUtf8(fileName).c_str(), &job.fileName);
    return job;
  }
  static FakeSessionScript Succeeds(uint64_t size = 100) {
    FakeSessionScript script;
    script.polls = {FakePoll{3, size, size / 2, 10, 10}, FakePoll{4, size, size, 10, 10}};
    return script;
  }
  static FakeSessionScript Fails(int32_t result, int32_t extendedCode = 0) {
    FakeSessionScript script;
    script.polls = {FakePoll{5, 0, 0, 0, 0}};
    script.result = result;
    script.extendedCode = extendedCode;
    return script;
  }
  // Every body the reporter sent so far, once its queue has drained.
  std::vector<Form> SentEvents(const std::string& eventType = std::string()) {
    engine_.WaitUntil([this] { return reporter_.PendingForTest() == 0; });
    return Posted(engine_, eventType);
  }
  std::vector<std::string> CreatedUrls() const {
    std::vector<std::string> urls;
    for (const FakeSessionRequest& request : engine_.SessionRequests()) urls.push_back(request.url);
    return urls;
  }
  std::string PathOf(const std::string& name) const {
    return saveDir_ + platform::kPathSeparator + name;
  }

  FakeEngine engine_;
  Timing timing_;
  Reporter reporter_;
  OptionStore options_;
  std::string saveDir_;
  std::unique_ptr<DownloadWorker> worker_;
};

}  // namespace testing
}  // namespace lumo
