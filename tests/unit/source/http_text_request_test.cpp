// The bounded text GET: what the engine is asked, which answers count, and how the wait ends.
#include "source/http_text_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "download/job_queue.h"
#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kUrl = "http://127.0.0.1:9/text";

class HttpTextRequestTest : public ::testing::Test {
 protected:
  HttpTextRequestTest() : timing_(FastTiming()) {}

  int32_t Get(std::string* body, const std::string& url = kUrl) {
    HttpTextRequest request(engine_.HttpService(), timing_, quit_);
    return request.HttpGetText(body, url);
  }
  void Answer(FakeHttpAnswer answer) {
    engine_.SetHttpResponder([answer](const FakeHttpRequestRecord&) { return answer; });
  }

  FakeEngine engine_;
  Timing timing_;
  Signal quit_;
};

TEST_F(HttpTextRequestTest, AnswerWithBodySucceedsAndAsksForAGetWithCacheBuster) {
  Answer(testing::Answer(200, "hello\nworld"));
  std::string body = "old";
  EXPECT_EQ(Get(&body), kZdlOk);
  EXPECT_EQ(body, "hello\nworld");
  ASSERT_EQ(engine_.HttpRequests().size(), 1u);
  const FakeHttpRequestRecord request = engine_.HttpRequests()[0];
  EXPECT_EQ(request.flags, 16384u);
  EXPECT_EQ(request.method, 1);
  EXPECT_EQ(request.reserved, 0u);
  EXPECT_TRUE(request.headers.empty());
  EXPECT_TRUE(request.sent);
  ASSERT_EQ(request.url.size(), kUrl.size() + 3 + 17);
  EXPECT_EQ(request.url.substr(0, kUrl.size() + 3), kUrl + "?t=");
  EXPECT_TRUE(IsTimestampSuffix(request.url.substr(kUrl.size() + 3)));
  EXPECT_EQ(engine_.LiveRequests(), 0u);

  // A URL with a query gets the parameter appended to it.
  std::string other;
  EXPECT_EQ(Get(&other, kUrl + "?a=1"), kZdlOk);
  EXPECT_EQ(engine_.HttpRequests()[1].url.substr(0, kUrl.size() + 7), kUrl + "?a=1&t=");
}

TEST_F(HttpTextRequestTest, AnythingButStatus200WithABodyFailsWithOneWarnLine) {
  struct Case {
    FakeHttpAnswer answer;
    const char* why;
  };
  FakeHttpAnswer createFails;
  createFails.createStatus = kZdlFail;
  FakeHttpAnswer sendFails = testing::Answer(200, "x");
  sendFails.sendStatus = kZdlFail;
  FakeHttpAnswer noStatus = testing::Answer(200, "x");
  noStatus.sendStatusCode = false;
  FakeHttpAnswer cutShort = testing::Answer(200, "10.0.0.1 ");  // 9 of 91 bytes, say
  cutShort.incomplete = true;
  const Case cases[] = {
      {testing::Answer(404, "not here"), "404 with a body"},
      {testing::Answer(302, "moved"), "a redirect"},
      {testing::Answer(200, ""), "200 without a body"},
      {createFails, "CreateRequest fails"},
      {sendFails, "Send fails"},
      {noStatus, "no status reported"},
      {testing::Answer(200, std::string(64 * 1024 + 1, 'a')), "a body past 64 KiB"},
      {cutShort, "a body the engine calls incomplete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const size_t before = engine_.HttpRequests().size();
    Answer(c.answer);
    std::string body;
    EXPECT_EQ(Get(&body), kZdlFail);
    const std::string sentUrl = engine_.HttpRequests()[before].url;
    EXPECT_EQ(sentUrl.substr(0, kUrl.size() + 3), kUrl + "?t=");
    EXPECT_TRUE(engine_.WaitUntil([&] { return engine_.LiveRequests() == 0; }));
  }
  EXPECT_EQ(engine_.CountCalls("Send"), 7u);  // nothing to send when CreateRequest failed
}

TEST_F(HttpTextRequestTest, NoMoreThan64KiBOfAnAnswerIsKept) {
  // A bound no loaded machine reaches; every case here ends at a look long before it.
  timing_.httpPoll = std::chrono::minutes(1);
  timing_.httpLook = std::chrono::milliseconds(1);
  const auto start = std::chrono::steady_clock::now();
  const struct {
    size_t size;
    bool complete;
    int32_t result;
  } cases[] = {
      {64 * 1024, true, kZdlOk},
      {64 * 1024 + 1, true, kZdlFail},
      {10 << 20, false, kZdlFail},  // an endless answer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    FakeHttpAnswer answer = testing::Answer(200, std::string(c.size, 'x'));
    answer.complete = c.complete;
    Answer(answer);
    std::string body;
    EXPECT_EQ(Get(&body), c.result);
    EXPECT_EQ(body.size(), std::min<size_t>(c.size, 64 * 1024));
  }
  // The endless answer too: past its limit the wait ends.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));
}

TEST_F(HttpTextRequestTest, AnswerThatNeverCompletesFailsAfterTheLastPoll) {
  FakeHttpAnswer partial = testing::Answer(200, "partial");
  partial.complete = false;
  Answer(partial);
  std::string body;
  EXPECT_EQ(Get(&body), kZdlFail);  // status 200 and some body, but never whole
  EXPECT_EQ(body, "partial");

  FakeHttpAnswer silent = testing::Answer(200, "");
  silent.delay = std::chrono::hours(1);
  Answer(silent);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlFail);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(body, "");
}

TEST_F(HttpTextRequestTest, QuittingEndsTheWaitEarly) {
  timing_.httpPoll = std::chrono::minutes(10);  // 50 of these would outlast any test
  FakeHttpAnswer silent;
  silent.delay = std::chrono::hours(1);
  Answer(silent);
  std::thread host([this] {
    engine_.WaitUntil([this] { return engine_.CountCalls("Send") >= 1; });
    quit_.Raise();
  });
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlFail);
  host.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(engine_.LiveRequests(), 0u);
}

TEST_F(HttpTextRequestTest, CompleteAnswerEndsTheWaitAtTheNextLook) {
  timing_.httpPoll = std::chrono::minutes(10);  // sleeping out one poll would show
  timing_.httpLook = std::chrono::milliseconds(1);
  FakeHttpAnswer late = testing::Answer(200, "late but whole");
  late.delay = std::chrono::milliseconds(20);  // not there at the first look
  Answer(late);
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(body, "late but whole");
  EXPECT_EQ(engine_.LiveRequests(), 0u);
}

TEST_F(HttpTextRequestTest, LooksKeepTheBoundOfFiftyPolls) {
  timing_.httpPoll = std::chrono::milliseconds(10);
  timing_.httpLook = std::chrono::milliseconds(1);
  FakeHttpAnswer silent;
  silent.delay = std::chrono::hours(1);
  Answer(silent);
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlFail);
  // The last of the 500 looks comes 499 ms after the first.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(499));
}

}  // namespace
}  // namespace testing
}  // namespace lumo
