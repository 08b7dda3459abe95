// The bounded text GET: what the engine is asked, which answers count, and how the wait ends.
#include "source/http_text_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

using std::chrono::milliseconds;
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
  static FakeHttpAnswer With(FakeHttpAnswer answer, const std::function<void(FakeHttpAnswer&)>& f) {
    f(answer);
    return answer;
  }

  FakeEngine engine_;
  Timing timing_;
  Signal quit_;
};

TEST_F(HttpTextRequestTest, AGetWithCacheBusterAndWhichAnswersCount) {
  using A = FakeHttpAnswer;
  const struct {
    FakeHttpAnswer answer;
    int32_t result;
    size_t kept;  // bytes of the body handed back
  } cases[] = {
      {testing::Answer(200, "hello\nworld"), kZdlOk, 11},
      {testing::Answer(200, std::string(64 * 1024, 'x')), kZdlOk, 64 * 1024},
      {testing::Answer(200, std::string(64 * 1024 + 1, 'x')), kZdlFail, 64 * 1024},
      {With(testing::Answer(200, std::string(10 << 20, 'x')), [](A& a) { a.complete = false; }),
       kZdlFail, 64 * 1024},
      {With(testing::Answer(200, "partial"), [](A& a) { a.complete = false; }), kZdlFail, 7},
      {testing::Answer(404, "not here"), kZdlFail, 8},
      {testing::Answer(302, "moved"), kZdlFail, 5},
      {testing::Answer(200, ""), kZdlFail, 0},
      {With(A{}, [](A& a) { a.createStatus = kZdlFail; }), kZdlFail, 0},
      {With(testing::Answer(200, "x"), [](A& a) { a.sendStatus = kZdlFail; }), kZdlFail, 0},
      {With(testing::Answer(200, "x"), [](A& a) { a.sendStatusCode = false; }), kZdlFail, 1},
      {With(testing::Answer(200, "10.0.0.1 "), [](A& a) { a.incomplete = true; }), kZdlFail, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.body.substr(0, 20) + " " + std::to_string(c.answer.status));
    const size_t before = engine_.HttpRequests().size();
    Answer(c.answer);
    std::string body = "old";
    EXPECT_EQ(Get(&body), c.result);
    if (c.answer.sendStatus == kZdlOk && c.answer.createStatus == kZdlOk) {
      EXPECT_EQ(body.size(), c.kept);
    }
    const FakeHttpRequestRecord request = engine_.HttpRequests()[before];
    EXPECT_EQ(request.method, kZdlMethodGet);
    ASSERT_EQ(request.url.size(), kUrl.size() + 3 + 17);
    EXPECT_EQ(request.url.substr(0, kUrl.size() + 3), kUrl + "?t=");
    EXPECT_TRUE(IsTimestampSuffix(request.url.substr(kUrl.size() + 3)));
    EXPECT_TRUE(engine_.WaitUntil([&] { return engine_.LiveRequests() == 0; }));
  }
  // A URL with a query gets the parameter appended to it.
  std::string other;
  Answer(testing::Answer(200, "x"));
  EXPECT_EQ(Get(&other, kUrl + "?a=1"), kZdlOk);
  EXPECT_EQ(engine_.HttpRequests().back().url.substr(0, kUrl.size() + 7), kUrl + "?a=1&t=");
}

TEST_F(HttpTextRequestTest, TheWaitEndsAtQuitAtTheAnswersEndOrAfterFiftyPolls) {
  FakeHttpAnswer silent;
  silent.delay = std::chrono::hours(1);
  std::string body;
  // Quit: with polls of ten minutes only the signal can end the wait.
  timing_.httpPoll = std::chrono::minutes(10);
  Answer(silent);
  std::thread host([this] {
    engine_.WaitUntil([this] { return engine_.CountCalls("Send") >= 1; });
    quit_.Raise();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlFail);
  host.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  quit_.Clear();

  // A whole answer is taken up at the next look, not at the next poll.
  timing_.httpLook = milliseconds(1);
  FakeHttpAnswer late = testing::Answer(200, "late but whole");
  late.delay = milliseconds(20);  // not there at the first look
  Answer(late);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(body, "late but whole");

  // Looks keep the bound: the last of the 500 looks comes 499 ms after the first.
  timing_.httpPoll = milliseconds(10);
  Answer(silent);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(&body), kZdlFail);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(499));
  EXPECT_EQ(engine_.LiveRequests(), 0u);
}

}  // namespace
}  // namespace testing
}  // namespace lumo
