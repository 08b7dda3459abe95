// The HTTP DNS cache and query: what is asked, what is kept, for how long, what is reported,
// and a cache reset from another thread.
#include "source/http_dns_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/worker_identity.h"
#include "download/job_queue.h"
#include "source/http_dns_answer.h"
#include "source/http_text_request.h"
#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kQueryUrl = "http://127.0.0.1:9/?ws_domain=localhost";

platform::CalendarTime At(uint16_t second, uint16_t milliseconds) {
  platform::CalendarTime t;
  t.year = 2024;
  t.month = 5;
  t.day = 1;
  t.hour = 12;
  t.second = second;
  t.milliseconds = milliseconds;
  return t;
}

class HttpDnsResolverTest : public ::testing::Test {
 protected:
  HttpDnsResolverTest()
      : timing_(FastTiming()),
        reporter_(engine_.HttpService(), SourceEndpoints().reportUrl, timing_),
        http_(engine_.HttpService(), timing_, quit_),
        resolver_(http_, SourceEndpoints().httpDnsUrl, "localhost", identity_, reporter_, [this] {
          std::lock_guard<std::mutex> hold(clockLock_);
          return now_;
        }) {
    SetAnswer(Answer(404, ""));
  }

  void SetAnswer(FakeHttpAnswer answer) {
    engine_.SetHttpResponder([answer](const FakeHttpRequestRecord& request) {
      return request.method == kZdlMethodGet ? answer : FakeHttpAnswer{};
    });
  }
  void SetNow(platform::CalendarTime now) {
    std::lock_guard<std::mutex> hold(clockLock_);
    now_ = now;
  }
  size_t Queries() const { return engine_.CountCalls("CreateRequest 1 "); }
  std::vector<Form> DnsEvents() {
    engine_.WaitUntil([this] { return reporter_.PendingForTest() == 0; });
    std::vector<Form> events;
    for (const FakeHttpRequestRecord& request : engine_.HttpRequests()) {
      Form form = ParseForm(request.body);
      if (form["eventType"] == kEventDnsRequest) events.push_back(form);
    }
    return events;
  }

  FakeEngine engine_;
  Timing timing_;
  Reporter reporter_;
  Signal quit_;
  WorkerIdentity identity_;
  HttpTextRequest http_;
  std::mutex clockLock_;
  platform::CalendarTime now_ = At(0, 0);  // guarded by clockLock_
  HttpDnsResolver resolver_;
};

TEST_F(HttpDnsResolverTest, AnswerGivesAddressesAndLifetimeAndIsReported) {
  identity_.SetSid("s1");
  identity_.SetGameCode("g1");
  const std::string body = "127.0.0.3 60\n127.0.0.2\n";
  SetAnswer(Answer(200, body));
  const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->addresses, (std::set<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(record->expiry.minute, 0);
  EXPECT_EQ(record->expiry.second, 54);
  EXPECT_EQ(record->expiry.milliseconds, 0);

  ASSERT_FALSE(engine_.HttpRequests().empty());
  const std::string sent = engine_.HttpRequests()[0].url;
  EXPECT_EQ(sent.substr(0, kQueryUrl.size() + 3), kQueryUrl + "&t=");

  const std::vector<Form> events = DnsEvents();
  ASSERT_EQ(events.size(), 1u);
  Form event = events[0];
  EXPECT_EQ(event["url"], kQueryUrl);
  EXPECT_EQ(event["response"], body);
  EXPECT_EQ(event["success"], "1");
  EXPECT_EQ(event["sid"], "s1");

  // Fresh until the expiry has passed, to the millisecond.
  SetNow(At(54, 0));
  EXPECT_EQ(resolver_.ResolveCdnHost(), record);
  EXPECT_EQ(Queries(), 1u);
}

TEST_F(HttpDnsResolverTest, FailedQueriesStoreNothing) {
  for (const FakeHttpAnswer& answer :
       {Answer(200, ""), Answer(500, "127.0.0.2"), Answer(200, "\n\n  \n"),
        Answer(200, "not-an-address 60\n")}) {
    SetAnswer(answer);
    EXPECT_FALSE(resolver_.ResolveCdnHost());
  }
  EXPECT_EQ(Queries(), 4u);  // no negative caching
  std::vector<Form> events = DnsEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["success"], "0");
  EXPECT_EQ(events[0]["msg"], "HRESULT=" + platform::SystemErrorText(kZdlFail));
  EXPECT_EQ(events[1]["success"], "0");
  EXPECT_EQ(events[1]["response"], "127.0.0.2");  // the body as far as it came
  EXPECT_EQ(events[2]["success"], "1");           // answered, but nothing usable
  EXPECT_EQ(events[3]["success"], "1");
}

TEST_F(HttpDnsResolverTest, HostileAnswersEndUpAsDottedQuadsOrNothing) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
  std::string manyAddresses;  // about 60 KiB: five thousand places to try a file at
  for (int i = 0; i < 5000; ++i) {
    manyAddresses += "127.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
  }
  std::string sixMegabytes;
  while (sixMegabytes.size() < (6u << 20)) sixMegabytes += "127.0.0.2 60\n";
  struct Case {
    std::string body;
    size_t addresses;  // in the record; 0: no record
  };
  const Case cases[] = {
      {garbage, 0},
      {std::string(1024 * 1024, 'x'), 0},
      {"127.0.0.2 60\nhttp://evil/ 1\n127.0.0.1:80\n\x01\x02\n", 1},
      {manyAddresses, 8},
      {sixMegabytes, 0},  // past 64 KiB: not an answer
  };
  for (const Case& c : cases) {
    resolver_.Clear();
    SetAnswer(Answer(200, c.body));
    const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
    EXPECT_EQ(record ? record->addresses.size() : 0u, c.addresses) << c.body.substr(0, 20);
    if (record) {
      for (const std::string& address : record->addresses) EXPECT_TRUE(IsDottedQuadIPv4(address));
    }
  }
  // Whatever came, the report carries at most 2 KiB of it.
  for (Form& event : DnsEvents()) EXPECT_LE(event["response"].size(), 2048u);
}

TEST_F(HttpDnsResolverTest, StaleRecordIsRefreshedOrKeptWhenTheRefreshFails) {
  SetAnswer(Answer(200, "127.0.0.2 0\n"));
  const std::shared_ptr<const HttpDnsRecord> first = resolver_.ResolveCdnHost();
  ASSERT_TRUE(first);
  EXPECT_EQ(resolver_.ResolveCdnHost(), first);  // same millisecond: not yet earlier than now
  EXPECT_EQ(Queries(), 1u);

  SetNow(At(0, 1));
  SetAnswer(Answer(503, ""));
  EXPECT_EQ(resolver_.ResolveCdnHost(), first);  // stale, but better than none
  EXPECT_EQ(Queries(), 2u);

  SetAnswer(Answer(200, "127.0.0.9 0\n"));
  const std::shared_ptr<const HttpDnsRecord> second = resolver_.ResolveCdnHost();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->addresses, (std::set<std::string>{"127.0.0.9"}));
  EXPECT_EQ(Queries(), 3u);
  // The replaced record stays whole for whoever still holds it.
  EXPECT_EQ(first->addresses, (std::set<std::string>{"127.0.0.2"}));

  resolver_.Clear();
  SetAnswer(Answer(503, ""));
  EXPECT_FALSE(resolver_.ResolveCdnHost());  // nothing stale left after a reset
}

TEST_F(HttpDnsResolverTest, ResetFromAnotherThreadWhileRecordsAreInUse) {
  SetAnswer(Answer(200, "127.0.0.2 0\n127.0.0.3\n"));
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int i = 0; i < 2000 && !done.load(); ++i) resolver_.Clear();
  });
  for (int i = 0; i < 50; ++i) {
    SetNow(At(static_cast<uint16_t>(i), 0));  // every record is stale by the next look-up
    const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->addresses.size(), 2u);
  }
  done.store(true);
  host.join();
}

}  // namespace
}  // namespace testing
}  // namespace lumo
