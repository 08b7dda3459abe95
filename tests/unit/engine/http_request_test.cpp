// HTTP requests of the engine: the handler's calls, POST bodies and headers, failures.
#include <atomic>
#include <functional>
#include <thread>

#include "base/completion_wake.h"
#include "base/signal.h"
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

// The optional end notification of sessions and requests: told once, only after the end is
// visible (final status, OnComplete returned), at once to a registration that comes late, and
// never to one that was cleared.
TEST_F(HttpRequestTest, EndNotificationComesOnceAfterTheEndIsVisible) {
  struct Seen {
    std::atomic<int> calls{0};
    std::atomic<bool> endVisible{false};
    std::function<bool()> ended;
  };
  server_.SetReply("/answer", 200, "ok", 150ms);
  Faults late;
  late.delayMs = 150;
  server_.AddFile("/file.bin", RandomBytes(4096, 7), late);
  const struct {
    bool session;
    bool late;   // registers after the end
    bool clear;  // clears the registration before the end
  } cases[] = {{false, false, false}, {false, true, false}, {false, false, true},
               {true, false, false},  {true, true, false},  {true, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "session " << c.session << " late " << c.late << " clear " << c.clear);
    IZUnknown* object = nullptr;
    RecordingHandler* handler = nullptr;
    Seen seen;
    if (c.session) {
      IZDownloadSession* session = NewSession(server_.Url("/file.bin"), dir_, "");
      ASSERT_NE(session, nullptr);
      seen.ended = [session] {
        int32_t status = 0;
        session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
        return status == kZdlStatusDownloaded || status == kZdlStatusError;
      };
      object = session;
    } else {
      handler = Send(kZdlMethodGet, server_.Url("/answer"));
      seen.ended = [handler] { return handler->WaitComplete(0ms); };
      object = requests_.back();
      object->AddRef();
    }
    IZCompletionNotify* notify = nullptr;
    ASSERT_EQ(object->QueryInterface(&IID_IZCompletionNotify, reinterpret_cast<void**>(&notify)),
              kZdlOk);
    const ZdlCompletionFn onEnd = [](void* context) {
      auto* s = static_cast<Seen*>(context);
      s->endVisible.store(s->ended());
      s->calls.fetch_add(1);
    };
    auto register_ = [&] { EXPECT_EQ(notify->SetCompletionNotify(onEnd, &seen), kZdlOk); };
    if (!c.late) register_();
    if (c.clear) {
      EXPECT_EQ(notify->SetCompletionNotify(nullptr, nullptr), kZdlOk);
    }
    if (c.session) static_cast<IZDownloadSession*>(object)->Start();
    const auto bound = std::chrono::steady_clock::now() + 10s;
    while (!seen.ended() && std::chrono::steady_clock::now() < bound)
      std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(seen.ended());
    // A request's end is marked just after its handler's OnComplete returns, so a registration
    // right after the handler saw the end may still be answered from the engine thread.
    if (c.late) register_();
    if (!c.clear) {
      while (seen.calls.load() == 0 && std::chrono::steady_clock::now() < bound) {
        std::this_thread::sleep_for(1ms);
      }
      EXPECT_TRUE(seen.endVisible.load());
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seen.calls.load(), c.clear ? 0 : 1);
    notify->SetCompletionNotify(nullptr, nullptr);
    notify->Release();
    object->Release();
    if (handler) handler->Release();
  }
}

// The module's wait over the notification: a look due in a minute comes at the request's end,
// and a quit ends the wait at once.
TEST_F(HttpRequestTest, AWaitEndsAtTheRequestsEndOrAQuit) {
  Faults stall;
  stall.stallBeforeHeaders = true;
  server_.AddFile("/stall", "x", stall);
  server_.SetReply("/answer", 200, "ok", 100ms);
  const struct {
    const char* path;
    bool quit;
    lumo::PollEnd end;
  } cases[] = {{"/answer", false, lumo::PollEnd::kDone},
               {"/stall", true, lumo::PollEnd::kCutShort}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    lumo::Signal quit;
    RecordingHandler* handler = Send(kZdlMethodGet, server_.Url(c.path));
    lumo::CompletionWake wake(quit);
    ASSERT_TRUE(wake.Attach(requests_.back()));
    std::thread quitter;
    if (c.quit) {
      quitter = std::thread([&quit] {
        std::this_thread::sleep_for(100ms);
        quit.Raise();
      });
    }
    const auto start = std::chrono::steady_clock::now();
    const lumo::PollSchedule minute{60s, 60s, 1, false};
    const lumo::PollEnd end = lumo::PollUntilDone(
        minute, [&wake](lumo::PollClock::time_point at) { return wake.WaitUntil(at); },
        [handler] { return handler->WaitComplete(0ms); });
    EXPECT_EQ(end, c.end);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    if (quitter.joinable()) quitter.join();
    wake.Detach();
    requests_.back()->Release();
    requests_.pop_back();
    handler->Release();
  }
}

}  // namespace
}  // namespace testing
}  // namespace zdl
