// A scripted, in-process engine: objects behind the engine interfaces whose answers a test sets
// up front (statuses per poll, results, HTTP answers), with a call log to check what the module
// did. No sockets, no files.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "zdl/zdl_engine.h"

namespace lumo {
namespace testing {

// One GetStatus answer.
struct FakePoll {
  int32_t status = kZdlStatusDownloading;
  uint64_t total = 0, downloaded = 0;
  uint32_t averageSpeed = 0, currentSpeed = 0;
};

// What one session does. GetStatus walks through polls; the last one repeats forever.
// After Abort (or Pause) every poll answers status 5 with the last sizes, and GetResult (2, 0).
// Also the answers of CreateSession, Start and SetOption after Start; sessionOnCreateFailure: hand
// back an object even when createStatus < 0.
struct FakeSessionScript {
  int32_t createStatus = kZdlOk, startStatus = kZdlOk, runningOptionStatus = kZdlOk;
  bool sessionOnCreateFailure = false;
  std::vector<FakePoll> polls =
      std::vector<FakePoll>(1, FakePoll{kZdlStatusDownloaded, 100, 100, 100, 100});
  int32_t result = kZdlResultSuccess, extendedCode = 0;
  const char* failureDetail = nullptr;  // GetOption(6); null: the option is not answered
  // Called on the polling thread before answer number pollIndex (0-based) is given.
  std::function<void(size_t pollIndex)> onPoll = nullptr;
};

// What CreateSession received; the texts in UTF-16 code units, whatever the platform's wide type.
struct FakeSessionRequest {
  std::string url;
  bool checksumPathNull = false;
  std::u16string checksumPath, saveDir;
};

// One HTTP answer, delivered on a thread of the fake engine after Send: the answers of
// CreateRequest and Send; sendStatusCode: call OnStatusCode(status); body: in one OnData call when
// not empty; complete false: OnComplete never comes (until the engine shuts down); incomplete:
// OnNotify(kZdlNotifyIncomplete, 3, 0, 0) before OnComplete; delay: before anything is delivered.
struct FakeHttpAnswer {
  int32_t createStatus = kZdlOk, sendStatus = kZdlOk;
  bool sendStatusCode = true;
  uint32_t status = 200;
  std::string body = "";
  bool complete = true, incomplete = false;
  std::chrono::milliseconds delay{0};
};

// What a request carried.
struct FakeHttpRequestRecord {
  int32_t method = 0;
  std::string url, body;
};

// What the engine saw.
struct FakeEngineRecord {
  // Calls are e.g. "CreateSession http://a/b", "SetOption 0 4", "Start", "Abort", "GetStatus",
  // "GetResult", "ReleaseSession", "CreateRequest 3 url", "SetBody 12", "Send",
  // "ReleaseRequest"; after Terminate each is logged as "AfterTerm <call>".
  std::vector<std::string> calls;
  std::vector<FakeSessionRequest> sessionRequests;
  std::vector<FakeHttpRequestRecord> httpRequests;  // in CreateRequest order
  size_t liveSessions = 0, liveRequests = 0, callsAfterTerm = 0;
  std::vector<std::string> SessionUrls() const {
    std::vector<std::string> urls;
    for (const FakeSessionRequest& request : sessionRequests) urls.push_back(request.url);
    return urls;
  }
};

class FakeEngine {
 public:
  FakeEngine();
  ~FakeEngine();  // completes every pending HTTP delivery and joins its threads

  // Borrowed pointers, valid for the engine's life.
  IZDownloadService* DownloadService() { return downloads_; }
  IZHttpService* HttpService() { return http_; }

  // Sessions: scripts are used in queue order; when the queue is empty, the default applies.
  void QueueSession(FakeSessionScript script) {
    Locked([&] { sessionQueue.push_back(script); });
  }
  void SetDefaultSession(FakeSessionScript script) {
    Locked([&] { defaultSession = script; });
  }
  // HTTP: a responder decides the answer from the request (default: 200 with an empty body).
  void SetHttpResponder(std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder) {
    Locked([&] { this->responder = std::move(responder); });
  }
  // Marks the engine as terminated: later calls are counted as made after termination.
  void Terminate() {
    Locked([&] { terminated = true; });
  }

  FakeEngineRecord Seen() const {  // a copy, taken under the lock
    return Locked([&] { return seen; });
  }
  size_t CountCalls(const std::string& prefix) const;
  // Waits until pred() holds (checked whenever the engine logs a call), up to timeout.
  bool WaitUntil(const std::function<bool()>& pred,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

  // The fake objects' side.
  // Logs a call; a release also takes one off its live count.
  void Log(const std::string& call, size_t FakeEngineRecord::*live = nullptr);
  template <typename F>
  std::invoke_result_t<F&> Locked(F f) const {
    std::lock_guard<std::mutex> lock(mutex);
    return f();
  }
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  FakeEngineRecord seen;
  std::deque<FakeSessionScript> sessionQueue;
  FakeSessionScript defaultSession;
  std::function<FakeHttpAnswer(const FakeHttpRequestRecord&)> responder;
  bool terminated = false, shuttingDown = false;
  std::vector<std::thread> deliveries;

 private:
  IZDownloadService* downloads_;
  IZHttpService* http_;
};

}  // namespace testing
}  // namespace lumo
