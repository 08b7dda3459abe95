// Telemetry: the form encoding, the engine's answer handler and the reporter's sender (retries,
// bounded waits, the bounded queue, stopping).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "support/fake_engine.h"
#include "telemetry/form_encoding.h"
#include "telemetry/http_response_handler.h"
#include "telemetry/reporter.h"

namespace lumo::testing {
namespace {

using std::chrono::milliseconds;
using Bodies = std::vector<std::string>;

const char kUrl[] = "http://127.0.0.1:6015/post";

TEST(FormEncode, EscapingCuttingAndOrder) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  for (const auto& [pairs, body] : std::vector<std::pair<FormPairs, std::string>>{
           {{{"k", "AZaz09-_.~"}}, "k=AZaz09-_.~"},
           {{{"k", "a b/c+1=2&x?\xC3\xA9"}}, "k=a%20b%2Fc%2B1%3D2%26x%3F%C3%A9"},
           {{{"k", std::string("\x00\x7F\xFF", 3)}}, "k=%00%7F%FF"},
           {{{"b", "2"}, {"a", "1"}, {"Z", "0"}}, "Z=0&a=1&b=2"},      // byte order of keys
           {{{"a", ""}, {"b", "x"}, {"", "lost"}, {"c", ""}}, "b=x"},  // no empty pairs
           {{{"k", std::string(6 << 20, 'a')}}, "k=" + std::string(2048, 'a')},
           // A character across the 2 KiB limit goes whole.
           {{{"k", std::string(2047, 'a') + euro}}, "k=" + std::string(2047, 'a')},
           {{{"k", std::string(2046, 'a') + euro}}, "k=" + std::string(2046, 'a')},
           {{{"k", std::string(2045, 'a') + euro + "b"}},
            "k=" + std::string(2045, 'a') + "%E2%82%AC"},
       })
    EXPECT_EQ(FormEncode(pairs), body) << body.substr(0, 40);
  // The zone offset in force, with its minutes; bias is what local time adds to get UTC.
  for (const auto& c : std::vector<std::pair<int32_t, std::string>>{
           {-480, "+08:00"}, {300, "-05:00"}, {-345, "+05:45"}, {30, "-00:30"}, {0, "+00:00"}})
    EXPECT_EQ(CurrentTimeTextFor({2024, 5, 3, 1, 12, 34, 56, 0}, c.first),
              "2024-05-01T12:34:56" + c.second);
}

// The poller sees whole chunks while the engine appends; once the wait is given up, whatever
// comes is refused. Its keep limit is the text GET's 64 KiB cap, tested there.
TEST(HttpResponseHandler, ConsistentWhileTheEngineAppendsAndRefusesWhatComesAfterTheWait) {
  HttpResponseHandler* handler = HttpResponseHandler::Create();
  void* out = nullptr;
  EXPECT_EQ(handler->QueryInterface(&IID_IZHttpRequest, &out), kZdlNoInterface);
  EXPECT_EQ(handler->QueryInterface(&IID_IZHttpResponseHandler, &out), kZdlOk);  // a reference
  const std::string chunk = "0123456789abcdef";
  std::thread engine([handler, &chunk] {
    for (int i = 0; i < 2000; ++i) handler->OnData(chunk.data(), 16);
    handler->OnComplete();
  });
  for (bool done = false; !done;) {
    done = handler->Done();
    const std::string copy = handler->Response();
    ASSERT_EQ(copy.size() % 16, 0u);
    for (size_t at = 0; at < copy.size(); at += 16) ASSERT_EQ(copy.compare(at, 16, chunk), 0);
    EXPECT_TRUE(!done || copy.size() == 16u * 2000);
  }
  engine.join();
  handler->Abandon();
  EXPECT_EQ(handler->OnData("cd", 2), static_cast<int32_t>(0x80004004u));
  EXPECT_FALSE(handler->Overflowed());
  EXPECT_EQ(handler->Response().size(), 16u * 2000);
  EXPECT_EQ(handler->Release(), 0u);
}

Timing ShortTiming(milliseconds poll = milliseconds(1)) {
  Timing t;
  t.telemetryPoll = poll;
  return t;
}
Bodies BodiesOf(const FakeEngine& engine) {
  Bodies bodies;
  for (const auto& request : engine.Seen().httpRequests) bodies.push_back(request.body);
  return bodies;
}
bool Drained(const FakeEngine& engine, const Reporter& reporter) {
  return engine.WaitUntil([&] { return reporter.PendingForTest() == 0; }, milliseconds(60000));
}

// Every kind of failed attempt is retried once, then the next body is taken.
TEST(Reporter, EachBodyPostedAndEveryKindOfFailureRetriedOnce) {
  FakeEngine engine;
  std::vector<FakeHttpAnswer> script(13);  // what each request meets, in request order
  script[0].status = script[1].status = 500;
  script[2].createStatus = script[3].createStatus = kZdlFail;     // never created
  script[4].sendStatus = script[5].sendStatus = kZdlFail;         // not sent
  script[6].sendStatusCode = script[7].sendStatusCode = false;    // status stays 0
  script[9].status = 503;                                         // then 200
  script[11].sendStatusCode = script[12].sendStatusCode = false;  // no answer at all
  script[11].complete = script[12].complete = false;
  std::atomic<size_t> requestNumber{0};
  engine.SetHttpResponder([&](const FakeHttpRequestRecord&) {
    const size_t number = requestNumber++;
    return number < script.size() ? script[number] : FakeHttpAnswer{};
  });
  Reporter reporter(engine.HttpService(), kUrl, ShortTiming());
  for (const char* body : {"500", "nocreate", "nosend", "nostatus", "ok", "retry"})
    reporter.Enqueue(body);
  ASSERT_TRUE(Drained(engine, reporter));
  const uint64_t polls = reporter.HandlerPollsForTest();
  reporter.Enqueue("stuck");
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(reporter.HandlerPollsForTest() - polls, 200u);  // two bounded waits
  EXPECT_EQ(BodiesOf(engine), (Bodies{"500", "500", "", "", "nosend", "nosend", "nostatus",
                                      "nostatus", "ok", "retry", "retry", "stuck", "stuck"}));
  EXPECT_EQ(engine.CountCalls("Send"), 11u);
  EXPECT_EQ(engine.CountCalls("ReleaseRequest"), 11u);
  EXPECT_EQ(reporter.DeliveredForTest(), 2u);
}

// Stop waits out the body in flight and those behind it within the grace period (an idle sender
// ends at once, however long it would idle); a request that never ends is released, not retried,
// and nothing reaches the engine after it is terminated.
TEST(Reporter, StopFlushesWithinTheGraceAndLeavesTheEngineAlone) {
  for (const bool hangs : {false, true}) {
    FakeEngine engine;
    FakeHttpAnswer answer;
    answer.complete = !hangs;
    answer.delay = milliseconds(hangs ? 0 : 100);
    engine.SetHttpResponder([answer](const FakeHttpRequestRecord&) { return answer; });
    Timing timing = ShortTiming(milliseconds(hangs ? 100 : 5));  // hanging: 10 s an attempt
    timing.senderIdle = milliseconds(20000);
    timing.senderStop = milliseconds(hangs ? 1000 : 5000);
    Reporter reporter(engine.HttpService(), kUrl, timing);
    for (const char* body : {"in-flight", "queued-1", "queued-2"}) reporter.Enqueue(body);
    ASSERT_TRUE(engine.WaitUntil([&] { return engine.CountCalls("Send") == 1; }));
    const auto start = std::chrono::steady_clock::now();
    reporter.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(hangs ? 3000 : 5000));
    EXPECT_EQ(engine.Seen().liveRequests, 0u);
    EXPECT_EQ(BodiesOf(engine),
              hangs ? Bodies{"in-flight"} : (Bodies{"in-flight", "queued-1", "queued-2"}));
    EXPECT_TRUE(hangs || reporter.DeliveredForTest() == 3u);
    engine.Terminate();  // what the module does next; later reports go nowhere
    reporter.Enqueue("late");
    EXPECT_EQ(reporter.PendingForTest(), 0u);
    reporter.Stop();
    EXPECT_EQ(engine.Seen().callsAfterTerm, 0u);
  }
}

// A collector that never answers cannot grow the queue without limit, in bodies or in bytes.
TEST(Reporter, AFullQueueDropsItsOldestBodies) {
  for (const auto& [count, bytesEach, dropped] :
       std::vector<std::tuple<size_t, size_t, uint64_t>>{{kMaxQueuedReports + 5, 1, 5},
                                                         {5, kMaxQueuedReportBytes / 4 - 8, 1},
                                                         {1, kMaxQueuedReportBytes, 0}}) {
    FakeEngine engine;
    std::atomic<bool> answering{false};
    engine.SetHttpResponder([&](const FakeHttpRequestRecord&) {
      FakeHttpAnswer answer;
      answer.complete = answering.load();
      return answer;
    });
    // An unanswered attempt lasts 2 s.
    Reporter reporter(engine.HttpService(), kUrl, ShortTiming(milliseconds(20)));
    reporter.Enqueue("first");
    ASSERT_TRUE(engine.WaitUntil([&] { return engine.CountCalls("Send") == 1; }));
    for (size_t i = 0; i < count; ++i)
      reporter.Enqueue(std::to_string(i) + std::string(bytesEach, 'x'));
    EXPECT_EQ(reporter.DroppedForTest(), dropped);
    EXPECT_EQ(reporter.PendingForTest(), 1 + count - dropped);
    answering = true;
    ASSERT_TRUE(Drained(engine, reporter));
    const Bodies bodies = BodiesOf(engine);
    const size_t firstKept = bodies.at(1) == "first" ? 2 : 1;  // a second attempt at "first"
    EXPECT_EQ(bodies.at(firstKept).substr(0, std::to_string(dropped).size() + 1),
              std::to_string(dropped) + "x");
  }
}

// Must be the first use of the process-wide instance in its process (CTest runs each test in a
// process of its own).
// Dropping after Stop: the grace test's.
TEST(Reporter, ProcessWideInstanceQueuesUntilAttachedAndAttachesAgain) {
  Reporter& reporter = Reporter::Instance();
  FakeEngine engine;
  reporter.Enqueue("early");  // before the engine is bound
  reporter.Attach(engine.HttpService(), kUrl, ShortTiming());
  ASSERT_TRUE(Drained(engine, reporter));
  reporter.Stop();
  reporter.Attach(engine.HttpService(), kUrl, ShortTiming());  // a new downloader
  reporter.Enqueue("again");
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(BodiesOf(engine), (Bodies{"early", "again"}));
  reporter.Stop();
}

}  // namespace
}  // namespace lumo::testing
