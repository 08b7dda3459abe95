#include "telemetry/reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_engine.h"

namespace lumo {
namespace {

using std::chrono::milliseconds;
using testing::FakeEngine;
using testing::FakeHttpAnswer;
using testing::FakeHttpRequestRecord;

const char kUrl[] = "http://127.0.0.1:6015/post";

Timing ShortTiming() {
  Timing t;
  t.telemetryPoll = milliseconds(1);
  t.telemetryPolls = 100;
  t.senderIdle = milliseconds(5);
  t.senderStop = milliseconds(1000);
  return t;
}

std::vector<std::string> Bodies(const FakeEngine& engine) {
  std::vector<std::string> bodies;
  for (const auto& request : engine.HttpRequests()) bodies.push_back(request.body);
  return bodies;
}

// Waits until the sender has worked through everything queued.
bool Drained(const FakeEngine& engine, const Reporter& reporter,
             milliseconds timeout = milliseconds(20000)) {
  return engine.WaitUntil([&] { return reporter.PendingForTest() == 0; }, timeout);
}

FakeHttpAnswer Answer(uint32_t status) {
  FakeHttpAnswer answer;
  answer.status = status;
  return answer;
}

// Each body is posted as a form; every kind of failed attempt is retried once, then the next
// body is taken.
TEST(Reporter, EachBodyPostedAndEveryKindOfFailureRetriedOnce) {
  FakeEngine engine;
  // What each request meets, in request order.
  std::vector<FakeHttpAnswer> script(11, Answer(200));
  script[0].status = script[1].status = 500;                    // "500": twice
  script[2].createStatus = script[3].createStatus = kZdlFail;   // "nocreate": no request
  script[4].sendStatus = script[5].sendStatus = kZdlFail;       // "nosend": not sent
  script[6].sendStatusCode = script[7].sendStatusCode = false;  // "nostatus": status stays 0
  script[9].status = 503;                                       // "retry": 503, then 200
  std::atomic<size_t> requestNumber{0};
  engine.SetHttpResponder([&](const FakeHttpRequestRecord&) {
    const size_t number = requestNumber++;
    return number < script.size() ? script[number] : Answer(200);
  });
  Reporter reporter(engine.HttpService(), kUrl, ShortTiming());
  for (const char* body : {"500", "nocreate", "nosend", "nostatus", "ok", "retry"}) {
    reporter.Enqueue(body);
  }
  ASSERT_TRUE(Drained(engine, reporter));
  ASSERT_TRUE(engine.WaitUntil([&] { return engine.LiveRequests() == 0; }));

  // A request that was never created gets no header, body or send.
  EXPECT_EQ(Bodies(engine),
            (std::vector<std::string>{"500", "500", "", "", "nosend", "nosend", "nostatus",
                                      "nostatus", "ok", "retry", "retry"}));
  EXPECT_EQ(engine.CountCalls("CreateRequest"), 11u);
  EXPECT_EQ(engine.CountCalls("Send"), 9u);
  EXPECT_EQ(engine.CountCalls("ReleaseRequest"), 9u);
  EXPECT_EQ(reporter.DeliveredForTest(), 2u);
  for (const FakeHttpRequestRecord& request : engine.HttpRequests()) {
    EXPECT_EQ(request.method, kZdlMethodPost);
    EXPECT_EQ(request.url, kUrl);
    if (request.body.empty()) continue;  // never created
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers[0].second, kReportContentType);
  }
}

TEST(Reporter, AServerThatNeverCompletesCosts100PollsPerAttempt) {
  FakeEngine engine;
  engine.SetHttpResponder([](const FakeHttpRequestRecord&) {
    FakeHttpAnswer answer;
    answer.sendStatusCode = false;  // no answer at all (a 200 seen before hanging would count)
    answer.complete = false;
    return answer;
  });
  Reporter reporter(engine.HttpService(), kUrl, ShortTiming());
  reporter.Enqueue("stuck");
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(reporter.HandlerPollsForTest(), 200u);
  EXPECT_EQ(engine.CountCalls("CreateRequest"), 2u);
  EXPECT_EQ(engine.CountCalls("ReleaseRequest"), 2u);
  EXPECT_EQ(reporter.DeliveredForTest(), 0u);

  // The sender goes on with the next body.
  engine.SetHttpResponder([](const FakeHttpRequestRecord&) { return Answer(200); });
  reporter.Enqueue("next");
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(Bodies(engine), (std::vector<std::string>{"stuck", "stuck", "next"}));
  EXPECT_EQ(reporter.DeliveredForTest(), 1u);
}

TEST(Reporter, BodiesFromTwoThreadsAllArriveInQueueOrder) {
  FakeEngine engine;
  Reporter reporter(engine.HttpService(), kUrl, ShortTiming());
  constexpr int kPerThread = 40;
  auto produce = [&reporter](char name) {
    for (int i = 0; i < kPerThread; ++i) reporter.Enqueue(std::string(1, name) + std::to_string(i));
  };
  std::thread first(produce, 'a');
  std::thread second(produce, 'b');
  first.join();
  second.join();
  ASSERT_TRUE(Drained(engine, reporter));

  const std::vector<std::string> bodies = Bodies(engine);
  ASSERT_EQ(bodies.size(), 2u * kPerThread);
  for (char name : {'a', 'b'}) {
    std::vector<std::string> mine;
    std::copy_if(bodies.begin(), bodies.end(), std::back_inserter(mine),
                 [name](const std::string& body) { return body[0] == name; });
    ASSERT_EQ(mine.size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i)
      EXPECT_EQ(mine[i], std::string(1, name) + std::to_string(i));
  }
}

TEST(Reporter, ReportOperationsSetTheirEventType) {
  FakeEngine engine;
  Reporter reporter(engine.HttpService(), kUrl, ShortTiming());
  ExceptionEvent failure;
  failure.exceptionMsg = "Open file error";
  reporter.EnqueueException(failure);
  ModuleVersionEvent version;
  version.eventType = "SOMETHING_ELSE";
  version.version = "v1.1.7";
  reporter.EnqueueModuleVersion(version);
  StatisticsEvent statistics;
  statistics.eventType.clear();
  reporter.EnqueueStatistics(statistics);
  ASSERT_TRUE(Drained(engine, reporter));

  const std::vector<std::string> bodies = Bodies(engine);
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_NE(bodies[0].find("&eventType=RUNNING_EXCEPTION&exceptionMsg=Open%20file%20error&"),
            std::string::npos)
      << bodies[0];
  EXPECT_NE(bodies[1].find("&eventType=MODULE_VERSION&"), std::string::npos) << bodies[1];
  EXPECT_NE(bodies[1].find("version=v1.1.7"), std::string::npos) << bodies[1];
  EXPECT_NE(bodies[2].find("&eventType=DOWNLOAD_STATISTICS&"), std::string::npos) << bodies[2];
}

TEST(Reporter, StopMidAttemptReturnsWithinAboutASecondAndLeavesTheEngineAlone) {
  FakeEngine engine;
  engine.SetHttpResponder([](const FakeHttpRequestRecord&) {
    FakeHttpAnswer answer;
    answer.complete = false;
    return answer;
  });
  Timing timing = ShortTiming();
  timing.telemetryPoll = milliseconds(100);  // a full wait would take 10 s per attempt
  timing.senderStop = milliseconds(1000);
  Reporter reporter(engine.HttpService(), kUrl, timing);
  reporter.Enqueue("in-flight");
  reporter.Enqueue("queued");
  ASSERT_TRUE(engine.WaitUntil([&] { return engine.CountCalls("Send") == 1; }));

  const auto start = std::chrono::steady_clock::now();
  reporter.Stop();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, milliseconds(3000));
  // The request was released before Stop returned; no second attempt, no second body.
  EXPECT_EQ(engine.CountCalls("ReleaseRequest"), 1u);
  EXPECT_EQ(engine.LiveRequests(), 0u);
  EXPECT_EQ(engine.CountCalls("CreateRequest"), 1u);
  EXPECT_EQ(reporter.PendingForTest(), 0u);

  // What the module does next: release the service, terminate the engine. Later reports are
  // dropped without a word to the engine.
  engine.Terminate();
  reporter.Enqueue("late");
  reporter.EnqueueException(ExceptionEvent());
  EXPECT_EQ(reporter.PendingForTest(), 0u);
  reporter.Stop();
  EXPECT_EQ(engine.CallsAfterTerm(), 0u);
}

// Stop flushes: the body in flight and those queued behind it still go out within the grace
// period, before the engine is released.
TEST(Reporter, StopFlushesTheQueueWithinTheGracePeriod) {
  FakeEngine engine;
  engine.SetHttpResponder([](const FakeHttpRequestRecord&) {
    FakeHttpAnswer answer;
    answer.delay = milliseconds(100);
    return answer;
  });
  Timing timing = ShortTiming();
  timing.telemetryPoll = milliseconds(5);
  timing.senderStop = milliseconds(5000);
  Reporter reporter(engine.HttpService(), kUrl, timing);
  for (const char* body : {"in-flight", "queued-1", "queued-2"}) reporter.Enqueue(body);
  ASSERT_TRUE(engine.WaitUntil([&] { return engine.CountCalls("Send") == 1; }));
  reporter.Stop();
  EXPECT_EQ(reporter.DeliveredForTest(), 3u);
  EXPECT_EQ(Bodies(engine), (std::vector<std::string>{"in-flight", "queued-1", "queued-2"}));
  EXPECT_EQ(engine.LiveRequests(), 0u);
}

// A collector that never answers cannot grow the queue without limit, in bodies or in bytes:
// the oldest waiting bodies go.
TEST(Reporter, AFullQueueDropsItsOldestBodies) {
  struct Case {
    size_t bodies;
    size_t bytesEach;
    uint64_t dropped;
  };
  for (const Case& c :
       {Case{kMaxQueuedReports + 5, 1, 5}, Case{5, kMaxQueuedReportBytes / 4 - 8, 1}}) {
    FakeEngine engine;
    std::atomic<bool> answering{false};
    engine.SetHttpResponder([&](const FakeHttpRequestRecord&) {
      FakeHttpAnswer answer;
      answer.complete = answering.load();
      return answer;
    });
    Timing timing = ShortTiming();
    timing.telemetryPoll = milliseconds(20);  // an unanswered attempt lasts 2 s
    Reporter reporter(engine.HttpService(), kUrl, timing);
    reporter.Enqueue("first");
    ASSERT_TRUE(engine.WaitUntil([&] { return engine.CountCalls("Send") == 1; }));
    for (size_t i = 0; i < c.bodies; ++i) {
      reporter.Enqueue(std::to_string(i) + std::string(c.bytesEach, 'x'));
    }
    EXPECT_EQ(reporter.DroppedForTest(), c.dropped);
    EXPECT_EQ(reporter.PendingForTest(), 1 + c.bodies - c.dropped);
    answering = true;
    ASSERT_TRUE(Drained(engine, reporter, milliseconds(60000)));
    const std::vector<std::string> bodies = Bodies(engine);
    ASSERT_GE(bodies.size(), 3u);
    const size_t firstKept = bodies[1] == "first" ? 2 : 1;  // a second attempt at "first"
    EXPECT_EQ(bodies[firstKept].substr(0, std::to_string(c.dropped).size()),
              std::to_string(c.dropped));
  }
}

// Must be the first use of the process-wide instance in its process (CTest runs each test in a
// process of its own): once stopped, the instance drops reports until the next Attach.
TEST(Reporter, ProcessWideInstanceQueuesUntilAttachedAndDropsAfterStop) {
  Reporter* seenByAnotherThread = nullptr;
  std::thread other([&] { seenByAnotherThread = &Reporter::Instance(); });
  Reporter& reporter = Reporter::Instance();
  other.join();
  EXPECT_EQ(seenByAnotherThread, &reporter);

  FakeEngine engine;
  reporter.Enqueue("early");  // before the engine is bound
  EXPECT_EQ(reporter.PendingForTest(), 1u);
  reporter.Attach(engine.HttpService(), kUrl, ShortTiming());
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(Bodies(engine), std::vector<std::string>{"early"});

  reporter.Stop();
  reporter.Enqueue("dropped");
  EXPECT_EQ(reporter.PendingForTest(), 0u);

  // A new downloader binds the engine again.
  reporter.Attach(engine.HttpService(), kUrl, ShortTiming());
  reporter.Enqueue("again");
  ASSERT_TRUE(Drained(engine, reporter));
  EXPECT_EQ(Bodies(engine), (std::vector<std::string>{"early", "again"}));
  reporter.Stop();
  reporter.Stop();
}

}  // namespace
}  // namespace lumo
