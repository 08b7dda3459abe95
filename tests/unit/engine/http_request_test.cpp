// HTTP requests of the engine: the handler's calls, POST bodies and headers, failures.
#include "engine_test_support.h"
#include "support/http_test_server.h"

namespace zdl {
namespace testing {
namespace {

using lumo::testing::HttpTestServer;
using namespace std::chrono_literals;

class HttpRequestTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    server_.Stop();
    EngineTest::TearDown();
  }

  // Sends a request; the handler is returned with one reference of the test's own.
  RecordingHandler* Send(int32_t method, const std::string& url, const std::string& body = "",
                         const char* contentType = nullptr) {
    auto* handler = new RecordingHandler();
    handler->AddRef();
    IZHttpRequest* request = nullptr;
    EXPECT_EQ(http_->CreateRequest(kZdlRequestBackground, method, url.c_str(), handler, 0,
                                   &request),
              kZdlOk);
    if (!request) return handler;
    if (contentType) {
      EXPECT_EQ(request->SetHeader("Content-Type", contentType), kZdlOk);
    }
    if (!body.empty()) {
      EXPECT_EQ(request->SetBody(body.data(), static_cast<uint32_t>(body.size())), kZdlOk);
    }
    EXPECT_EQ(request->Send(), kZdlOk);
    request->Release();  // the request runs on without the caller's reference
    return handler;
  }

  HttpTestServer server_;
};

TEST_F(HttpRequestTest, GetReportsStatusBodyAndCompletion) {
  server_.SetReply("/cdn-domain/global", 200, "cdn.example.test");
  RecordingHandler* handler = Send(kZdlMethodGet, server_.Url("/cdn-domain/global?t=1"));
  ASSERT_TRUE(handler->WaitComplete(10s));
  EXPECT_EQ(handler->Calls(),
            (std::vector<std::string>{"begin", "status 200", "data", "complete"}));
  EXPECT_EQ(handler->Body(), "cdn.example.test");
  EXPECT_EQ(server_.Requests("/cdn-domain/global").at(0).target, "/cdn-domain/global?t=1");
  EngineTerm();  // every engine thread has ended: the engine's reference is gone
  EXPECT_EQ(handler->refs(), 1u);
  handler->Release();
}

TEST_F(HttpRequestTest, PostDeliversBodyAndContentType) {
  server_.SetReply("/post", 200, "ok");
  const std::string form = "eventType=MODULE_VERSION&value=a%20b";
  RecordingHandler* handler =
      Send(kZdlMethodPost, server_.Url("/post"), form,
           "application/x-www-form-urlencoded;charset=utf-8");
  ASSERT_TRUE(handler->WaitComplete(10s));
  EXPECT_EQ(handler->Status(), 200u);
  auto requests = server_.Requests("/post");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, form);
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/x-www-form-urlencoded;charset=utf-8");
  handler->Release();
}

TEST_F(HttpRequestTest, ErrorStatusIsReportedWithItsBody) {
  server_.SetReply("/missing", 404, "gone");
  RecordingHandler* handler = Send(kZdlMethodGet, server_.Url("/missing"));
  ASSERT_TRUE(handler->WaitComplete(10s));
  EXPECT_EQ(handler->Status(), 404u);
  EXPECT_EQ(handler->Body(), "gone");
  handler->Release();
}

TEST_F(HttpRequestTest, ClosedPortStillEndsInOnCompleteWithoutStatus) {
  HttpTestServer closed;
  ASSERT_TRUE(closed.Start());
  std::string url = closed.Url("/post");
  closed.Stop();
  RecordingHandler* handler = Send(kZdlMethodPost, url, "a=b");
  ASSERT_TRUE(handler->WaitComplete(10s));
  EXPECT_EQ(handler->Calls(), (std::vector<std::string>{"begin", "incomplete 3", "complete"}));
  EXPECT_EQ(handler->Status(), 0u);
  handler->Release();
}

TEST_F(HttpRequestTest, EngineTermEndsAStalledRequestWithOnComplete) {
  HttpTestServer::FileFaults stall;
  stall.stallBeforeHeaders = true;
  server_.AddFile("/slow", "x", stall);
  RecordingHandler* handler = Send(kZdlMethodGet, server_.Url("/slow"));
  ASSERT_TRUE(server_.WaitForStall(10s));
  EngineTerm();
  EXPECT_TRUE(handler->WaitComplete(0ms));  // already: term waits for the engine's threads
  EXPECT_EQ(handler->refs(), 1u);
  handler->Release();
}

TEST_F(HttpRequestTest, BadArgumentsAreRefused) {
  auto* handler = new RecordingHandler();
  handler->AddRef();
  IZHttpRequest* request = nullptr;
  EXPECT_EQ(http_->CreateRequest(kZdlRequestBackground, 2, "http://127.0.0.1/", handler, 0,
                                 &request),
            kZdlInvalidArg);
  EXPECT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet, nullptr, handler, 0,
                                 &request),
            kZdlPointer);
  ASSERT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodPost, "http://127.0.0.1/",
                                 handler, 0, &request),
            kZdlOk);
  EXPECT_EQ(request->SetHeader("X-Evil", "a\r\nInjected: 1"), kZdlInvalidArg);
  request->Release();
  EXPECT_EQ(handler->refs(), 1u);  // a request never sent gives the handler back
  handler->Release();
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
