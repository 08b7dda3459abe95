// The engine's HTTP service: the handler hears status and body as sent, and an answer that is
// not whole is said to be so before OnComplete; requests given up end; the end notification.
#include <functional>

#include "base/completion_wake.h"
#include "base/signal.h"
#include "engine_runtime.h"
#include "engine_test_support.h"
#include "scripted_server.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::Faults;
using lumo::services::RawRequest;
using lumo::services::Script;
using lumo::services::ScriptedServer;

class HttpRequestTest : public EngineTest {
 protected:
  void TearDown() override {
    for (IZHttpRequest* request : requests_) request->Release();
    for (RecordingHandler* handler : handlers_) handler->Release();
    EngineTest::TearDown();
  }
  // Sends a GET, held by the test until its end (giving it up cancels it).
  RecordingHandler* Send(const std::string& url, size_t refuseAfter = static_cast<size_t>(-1)) {
    handlers_.push_back(new RecordingHandler());
    handlers_.back()->AddRef();
    handlers_.back()->refuseAfter = refuseAfter;
    IZHttpRequest* request = nullptr;
    EXPECT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet, url.c_str(),
                                   handlers_.back(), 0, &request),
              kZdlOk);
    if (request) {
      EXPECT_EQ(request->Send(), kZdlOk);
      requests_.push_back(request);
    }
    return handlers_.back();
  }
  std::vector<IZHttpRequest*> requests_;
  std::vector<RecordingHandler*> handlers_;
};

TEST_F(HttpRequestTest, HandlerHearsWhatCame) {
  const struct {
    Script script;
    std::vector<std::string> calls;
    std::string body;
  } cases[] = {
      {{{ScriptedServer::Head(200, {{"Content-Length", "9"}}) + "10.0.0.1 "}},
       {"begin", "status 200", "data", "complete"},
       "10.0.0.1 "},
      {{{ScriptedServer::Head(404, {{"Content-Length", "4"}}) + "gone"}},
       {"begin", "status 404", "data", "complete"},
       "gone"},
      {{{ScriptedServer::Head(200, {{"Content-Length", "91"}}) + "10.0.0.1 ", 100ms}},
       {"begin", "status 200", "data", "incomplete 3", "complete"},
       "10.0.0.1 "},
      {{{ScriptedServer::Head(200, {{"Content-Length", "9"}, {"Content-Encoding", "gzip"}}) +
         "\x1f\x8b\x08xxxxxx"}},
       {"begin", "status 200", "data", "incomplete 6", "complete"},
       "\x1f\x8b\x08xxxxxx"},
      {{{"", 100ms}}, {"begin", "incomplete 3", "complete"}, ""},
  };
  for (const auto& c : cases) {
    ScriptedServer server([&c](const RawRequest&) { return c.script; });
    ASSERT_TRUE(server.Start());
    RecordingHandler* handler = Send(server.Url("/?ws_domain=x"));
    EXPECT_TRUE(handler->WaitComplete(10s));
    EXPECT_EQ(handler->Calls(), c.calls);
    EXPECT_EQ(handler->Body(), c.body);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].target, "/?ws_domain=x");
    server.Stop();
  }
  EngineTerm();  // every engine thread has ended: the engine's references are gone
  for (RecordingHandler* handler : handlers_) EXPECT_EQ(handler->refs(), 1u);
}

// Whoever gives up a request, its owner, mod_term or its handler refusing the body, ends it:
// the handler hears it is no whole answer, then OnComplete, promptly.
TEST_F(HttpRequestTest, AGivenUpRequestEnds) {
  Faults stall, slow;
  stall.stallBeforeHeaders = true;
  slow.rate = 320 * 1024;  // about 13 s for the body
  server_.AddFile("/slow", "x", stall);
  server_.AddFile("/endless", RandomBytes(4 << 20, 5), slow);
  RecordingHandler* refusing = Send(server_.Url("/endless"), 64 * 1024);
  EXPECT_TRUE(refusing->WaitComplete(5s));
  EXPECT_LT(refusing->Body().size(), size_t{256 * 1024});
  for (const bool release : {true, false}) {
    RecordingHandler* handler = Send(server_.Url("/slow"));
    ASSERT_TRUE(
        server_.WaitFor([&] { return server_.RequestCount("/slow") >= 2u - release; }, 10s));
    if (release) {
      requests_.back()->Release();
      requests_.pop_back();
      EXPECT_TRUE(handler->WaitComplete(2s));
    } else {
      EngineTerm();
      EXPECT_TRUE(handler->WaitComplete(0ms));  // term waits for the engine's threads
    }
    EXPECT_EQ(handler->Calls(), (std::vector<std::string>{"begin", "incomplete 1", "complete"}));
  }
}

TEST_F(HttpRequestTest, BadArgumentsAreRefused) {
  auto* handler = new RecordingHandler();
  handler->AddRef();
  IZHttpRequest* request = nullptr;
  const char* url = "http://127.0.0.1/";
  EXPECT_EQ(http_->CreateRequest(0, 2, url, handler, 0, &request), kZdlInvalidArg);
  EXPECT_EQ(http_->CreateRequest(0, kZdlMethodGet, nullptr, handler, 0, &request), kZdlPointer);
  EXPECT_EQ(http_->CreateRequest(0, kZdlMethodGet, url, nullptr, 0, &request), kZdlPointer);
  ASSERT_EQ(http_->CreateRequest(0, kZdlMethodPost, url, handler, 0, &request), kZdlOk);
  EXPECT_EQ(request->SetHeader("X-Evil", "a\r\nInjected: 1"), kZdlInvalidArg);
  request->Release();
  EXPECT_EQ(handler->refs(), 1u);  // a request never sent gives the handler back
  handler->Release();
  void* out = nullptr;
  EXPECT_EQ(EngineGetObject(&IID_IZHttpResponseHandler, &out), kZdlNoInterface);
  EXPECT_EQ(downloads_->QueryInterface(&IID_IZHttpService, &out), kZdlNoInterface);
  EXPECT_EQ(out, nullptr);
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
  for (int i = 0; i < 6; ++i) {
    const bool session = i >= 3, lateRegistration = i % 3 == 1, cleared = i % 3 == 2;
    SCOPED_TRACE(i);
    IZUnknown* object = nullptr;
    Seen seen;
    if (session) {
      auto* s = NewSession(server_.Url("/file.bin"), dir_, "");
      seen.ended = [s] {
        int32_t status = 0;
        s->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
        return IsFinal(status);
      };
      object = s;
    } else {
      RecordingHandler* handler = Send(server_.Url("/answer"));
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
    const auto register_ = [&](ZdlCompletionFn fn) {
      EXPECT_EQ(notify->SetCompletionNotify(fn, fn ? &seen : nullptr), kZdlOk);
    };
    if (!lateRegistration) register_(onEnd);
    if (cleared) register_(nullptr);
    if (session) static_cast<IZDownloadSession*>(object)->Start();
    const auto bound = std::chrono::steady_clock::now() + 10s;
    while (!seen.ended() && std::chrono::steady_clock::now() < bound) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(seen.ended());
    // A request's end is marked just after its handler's OnComplete returns, so a registration
    // right after the handler saw the end may still be answered from the engine thread.
    if (lateRegistration) register_(onEnd);
    while (!cleared && seen.calls.load() == 0 && std::chrono::steady_clock::now() < bound) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seen.calls.load(), cleared ? 0 : 1);
    EXPECT_EQ(seen.endVisible.load(), !cleared);
    notify->SetCompletionNotify(nullptr, nullptr);
    notify->Release();
    object->Release();
  }
}

// The module's wait over the notification: a look due in a minute comes at the request's end,
// and a quit ends the wait at once.
TEST_F(HttpRequestTest, AWaitEndsAtTheRequestsEndOrAQuit) {
  Faults stall;
  stall.stallBeforeHeaders = true;
  server_.AddFile("/stall", "x", stall);
  server_.SetReply("/answer", 200, "ok", 100ms);
  for (const bool quit : {false, true}) {
    lumo::Signal quitSignal;
    RecordingHandler* handler = Send(server_.Url(quit ? "/stall" : "/answer"));
    lumo::CompletionWake wake(quitSignal);
    ASSERT_TRUE(wake.Attach(requests_.back()));
    std::thread quitter([&] {
      std::this_thread::sleep_for(100ms);
      if (quit) quitSignal.Raise();
    });
    const auto start = std::chrono::steady_clock::now();
    const lumo::PollEnd end = lumo::PollUntilDone(
        lumo::PollSchedule{60s, 60s, 1, false},
        [&wake](lumo::PollClock::time_point at) { return wake.WaitUntil(at); },
        [handler] { return handler->WaitComplete(0ms); });
    EXPECT_EQ(end, quit ? lumo::PollEnd::kCutShort : lumo::PollEnd::kDone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    quitter.join();
    wake.Detach();
  }
}

}  // namespace
}  // namespace testing
}  // namespace zdl
