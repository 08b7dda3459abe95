// HTTP requests of the engine: the handler's calls, POST bodies and headers, failures.
#include <atomic>
#include <thread>

#include "engine_runtime.h"
#include "engine_test_support.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::Faults;
using lumo::services::LocalServices;
using namespace std::chrono_literals;

class HttpRequestTest : public EngineTest {
 protected:
  void TearDown() override {
    for (IZHttpRequest* request : requests_) request->Release();
    EngineTest::TearDown();
  }

  // Sends a request, held by the test until its end (giving it up cancels it); the handler is
  // returned with one reference of the test's own.
  RecordingHandler* Send(int32_t method, const std::string& url, const std::string& body = "",
                         const char* contentType = nullptr) {
    auto* handler = new RecordingHandler();
    handler->AddRef();
    IZHttpRequest* request = nullptr;
    EXPECT_EQ(
        http_->CreateRequest(kZdlRequestBackground, method, url.c_str(), handler, 0, &request),
        kZdlOk);
    if (!request) return handler;
    if (contentType) {
      EXPECT_EQ(request->SetHeader("Content-Type", contentType), kZdlOk);
    }
    if (!body.empty()) {
      EXPECT_EQ(request->SetBody(body.data(), static_cast<uint32_t>(body.size())), kZdlOk);
    }
    EXPECT_EQ(request->Send(), kZdlOk);
    requests_.push_back(request);
    return handler;
  }

  std::vector<IZHttpRequest*> requests_;
};

// Whoever gives up a stalled request, its owner or mod_term, ends it: the handler hears
// OnComplete promptly and the engine's reference to it is gone once the engine has ended.
TEST_F(HttpRequestTest, AStalledRequestEndsWhenReleasedOrTerminated) {
  Faults stall;
  stall.stallBeforeHeaders = true;
  server_.AddFile("/slow", "x", stall);
  for (const bool release : {true, false}) {
    RecordingHandler* handler = Send(kZdlMethodGet, server_.Url("/slow"));
    const size_t expected = release ? 1 : 2;
    ASSERT_TRUE(server_.WaitFor([&] { return server_.RequestCount("/slow") >= expected; }, 10s));
    if (release) {
      requests_.back()->Release();
      requests_.pop_back();
      EXPECT_TRUE(handler->WaitComplete(2s)) << "released";
    } else {
      EngineTerm();
      EXPECT_TRUE(handler->WaitComplete(0ms));  // already: term waits for the engine's threads
    }
    // Given up, it is no whole answer: the handler hears so before OnComplete.
    EXPECT_EQ(handler->Calls(), (std::vector<std::string>{"begin", "incomplete 1", "complete"}));
    handler->Release();
  }
}

TEST_F(HttpRequestTest, AHandlerThatRefusesTheBodyEndsTheRequest) {
  // About 13 s of body at this pace; the handler wants none of it past 64 KiB.
  Faults slow;
  slow.rate = 320 * 1024;
  slow.chunkBytes = 16 * 1024;
  server_.AddFile("/endless", RandomBytes(4 << 20, 5), slow);
  auto* handler = new RecordingHandler();
  handler->AddRef();
  handler->refuseAfter = 64 * 1024;
  IZHttpRequest* request = nullptr;
  ASSERT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet,
                                 server_.Url("/endless").c_str(), handler, 0, &request),
            kZdlOk);
  ASSERT_EQ(request->Send(), kZdlOk);
  request->Release();
  EXPECT_TRUE(handler->WaitComplete(5s));
  EXPECT_LT(handler->Body().size(), size_t{256 * 1024});
  handler->Release();
}

TEST_F(HttpRequestTest, BadArgumentsAreRefused) {
  auto* handler = new RecordingHandler();
  handler->AddRef();
  IZHttpRequest* request = nullptr;
  EXPECT_EQ(
      http_->CreateRequest(kZdlRequestBackground, 2, "http://127.0.0.1/", handler, 0, &request),
      kZdlInvalidArg);
  EXPECT_EQ(
      http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet, nullptr, handler, 0, &request),
      kZdlPointer);
  ASSERT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodPost, "http://127.0.0.1/",
                                 handler, 0, &request),
            kZdlOk);
  EXPECT_EQ(request->SetHeader("X-Evil", "a\r\nInjected: 1"), kZdlInvalidArg);
  request->Release();
  EXPECT_EQ(handler->refs(), 1u);  // a request never sent gives the handler back
  handler->Release();
}

// mod_term waits for every engine thread, also one that another thread is finishing (a session
// released while its body ignores the cancel for a while).
TEST(EngineRuntimeTest, StopWaitsForATaskAnotherThreadIsFinishing) {
  EngineRuntime& runtime = EngineRuntime::Instance();
  ASSERT_TRUE(runtime.Start());
  std::atomic<bool> bodyEnded{false};
  auto task = runtime.Launch(
      [&bodyEnded] {
        std::this_thread::sleep_for(300ms);
        bodyEnded = true;
      },
      [] {});
  ASSERT_NE(task, nullptr);
  std::thread finisher([&] { runtime.Finish(task); });
  std::this_thread::sleep_for(50ms);
  runtime.Stop();
  EXPECT_TRUE(bodyEnded.load());
  finisher.join();
}

TEST(EngineObjectsTest, GetObjectAnswersOnlyTheTwoServices) {
  ASSERT_EQ(EngineInit(), kZdlOk);
  void* out = nullptr;
  EXPECT_EQ(EngineGetObject(&IID_IZDownloadService, &out), kZdlOk);
  auto* downloads = static_cast<IZDownloadService*>(out);
  void* again = nullptr;
  EXPECT_EQ(downloads->QueryInterface(&IID_IZHttpService, &again), kZdlNoInterface);
  EXPECT_EQ(again, nullptr);
  downloads->Release();
  EXPECT_EQ(EngineGetObject(&IID_IZHttpResponseHandler, &out), kZdlNoInterface);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(EngineGetObject(&IID_IZHttpService, &out), kZdlOk);
  static_cast<IZHttpService*>(out)->Release();
  EngineTerm();
}

}  // namespace
}  // namespace testing
}  // namespace zdl
