// Download by resolved address: the fallback of a job whose URLs all failed, through a real
// job run, and the URL rewriting it uses.
#include <gtest/gtest.h>

#include "source/http_dns_record.h"
#include "source/resolved_address_download.h"
#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

using Urls = std::vector<std::string>;

const std::string kOnCdn = "http://localhost/pkg/a.bin";
const std::string kElsewhere = "http://127.0.0.1/pkg/a.bin";
const std::string kOnCdnTls = "https://localhost:8443/pkg/a.bin?v=1";

HttpDnsRecord RecordOf(std::set<std::string> addresses) {
  HttpDnsRecord record;
  record.addresses = std::move(addresses);
  return record;
}

TEST(UrlRewriteTest, HostBecomesTheFirstPathElementAfterTheAddress) {
  EXPECT_EQ(ResolvedAddressDownload::RewriteUrlForAddress("http://h/dir/f", "10.0.0.1"),
            "http://10.0.0.1/h/dir/f");
  EXPECT_EQ(ResolvedAddressDownload::RewriteUrlForAddress("https://h:8443/f?q=1", "10.0.0.1"),
            "https://10.0.0.1/h:8443/f?q=1");
  EXPECT_EQ(ResolvedAddressDownload::RewriteUrlForAddress("ftp://h/f", "10.0.0.1"), "ftp://h/f");
  EXPECT_EQ(ResolvedAddressDownload::RewriteUrlForAddress("HTTP://h/f", "10.0.0.1"), "HTTP://h/f");

  const HttpDnsRecord record = RecordOf({"10.0.0.2", "9.9.9.9"});
  EXPECT_EQ(ResolvedAddressDownload::RewriteUrlsForAddresses(
                {"http://cdn/1", "http://other/2", "http://x/3?mirror=cdn"}, "cdn", record),
            (Urls{"http://10.0.0.2/cdn/1", "http://9.9.9.9/cdn/1", "http://10.0.0.2/x/3?mirror=cdn",
                  "http://9.9.9.9/x/3?mirror=cdn"}));
  EXPECT_TRUE(
      ResolvedAddressDownload::RewriteUrlsForAddresses({"http://other/2"}, "cdn", record).empty());
}

using ResolvedAddressTest = SourceTest;

TEST_F(ResolvedAddressTest, EveryRewrittenUrlIsTriedTwiceAndReported) {
  SetDnsAnswer(Answer(200, "127.0.0.3 60\n127.0.0.2\n"));
  engine_.SetDefaultSession(Fails(3));
  DownloadJob job = MakeJob({kOnCdn, kElsewhere, kOnCdnTls});
  const DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 3);

  const Urls rewritten = {"http://127.0.0.2/localhost/pkg/a.bin",
                          "http://127.0.0.3/localhost/pkg/a.bin",
                          "https://127.0.0.2/localhost:8443/pkg/a.bin?v=1",
                          "https://127.0.0.3/localhost:8443/pkg/a.bin?v=1"};
  Urls expected = {kOnCdn, kOnCdn, kElsewhere, kElsewhere, kOnCdnTls, kOnCdnTls};
  for (const std::string& url : rewritten) {
    expected.push_back(url);
    expected.push_back(url);
  }
  EXPECT_EQ(CreatedUrls(), expected);
  for (const FakeSessionRequest& request : engine_.SessionRequests()) {
    EXPECT_EQ(request.saveDir, WideOfUtf8(saveDir_));
    EXPECT_FALSE(request.checksumPathNull);
  }

  std::vector<Form> events = SentEvents(kEventFileDownloadDns);
  ASSERT_EQ(events.size(), 8u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["cdnUrl"], rewritten[i / 2]);
    EXPECT_EQ(events[i]["success"], "0");
  }
  EXPECT_EQ(GetsTo(SourceEndpoints().httpDnsUrl).size(), 1u);
}

TEST_F(ResolvedAddressTest, FirstSuccessEndsTheFallbackAndTheCacheServesTheNextJob) {
  SetDnsAnswer(Answer(200, "127.0.0.2 600\n"));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Succeeds());
  DownloadJob job = MakeJob({kOnCdn});
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  std::vector<Form> events = SentEvents(kEventFileDownloadDns);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["success"], "1");

  // Within the record's lifetime the next job's fallback asks no one.
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Succeeds());
  DownloadJob next = MakeJob({kOnCdn});
  EXPECT_EQ(worker_->RunFile(next).code, 0);
  EXPECT_EQ(GetsTo(SourceEndpoints().httpDnsUrl).size(), 1u);
  // A progress reset forgets the record.
  worker_->ResetWorker();
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Succeeds());
  DownloadJob third = MakeJob({kOnCdn});
  EXPECT_EQ(worker_->RunFile(third).code, 0);
  EXPECT_EQ(GetsTo(SourceEndpoints().httpDnsUrl).size(), 2u);
}

TEST_F(ResolvedAddressTest, NoUrlOnTheCdnHostKeepsTheWalksOwnFailure) {
  SetDnsAnswer(Answer(200, "127.0.0.2 60\n"));
  engine_.SetDefaultSession(Fails(3));
  DownloadJob job = MakeJob({kElsewhere});
  const DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 3);  // not "Abort download": the fallback tried nothing
  EXPECT_EQ(CreatedUrls(), (Urls{kElsewhere, kElsewhere}));
  EXPECT_TRUE(SentEvents(kEventFileDownloadDns).empty());
}

TEST_F(ResolvedAddressTest, FailedLookupLeavesTheWalksResult) {
  SetDnsAnswer(Answer(200, ""));
  engine_.SetDefaultSession(Fails(6));
  DownloadJob job = MakeJob({kOnCdn});
  EXPECT_EQ(worker_->RunFile(job).code, 6);
  EXPECT_EQ(CreatedUrls().size(), 2u);
  std::vector<Form> requests = SentEvents(kEventDnsRequest);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["success"], "0");
}

TEST_F(ResolvedAddressTest, DiskFailureEndsTheFallbackAtOnce) {
  SetDnsAnswer(Answer(200, "127.0.0.2 60\n127.0.0.3\n"));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(4, kZdlExtDiskFull));
  engine_.SetDefaultSession(Succeeds());
  DownloadJob job = MakeJob({kOnCdn});
  const DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 4);
  EXPECT_EQ(result.extendedCode, kZdlExtDiskFull);
  EXPECT_EQ(CreatedUrls().size(), 3u);
  EXPECT_EQ(SentEvents(kEventFileDownloadDns).size(), 1u);
}

TEST_F(ResolvedAddressTest, PauseDuringTheFallbackSkipsTheRemainingAttempts) {
  SetDnsAnswer(Answer(200, "127.0.0.2 60\n127.0.0.3\n"));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  FakeSessionScript paused = Fails(3);
  paused.onPoll = [this](size_t) { worker_->SetRunning(false); };
  engine_.QueueSession(paused);
  DownloadJob job = MakeJob({kOnCdn});
  EXPECT_EQ(worker_->RunFile(job).code, 3);
  EXPECT_EQ(CreatedUrls().size(), 3u);
}

// The host resets the progress (and with it the DNS cache) while jobs fall back on it.
TEST_F(ResolvedAddressTest, ResetFromTheHostDuringFallbacks) {
  SetDnsAnswer(Answer(200, "127.0.0.2 0\n127.0.0.3\n"));
  engine_.SetDefaultSession(Fails(3));
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done.load()) {
      worker_->ResetWorker();
      engine_.WaitUntil([] { return false; }, std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 5; ++i) {
    DownloadJob job = MakeJob({kOnCdn});
    EXPECT_EQ(worker_->RunFile(job).code, 3);
  }
  done.store(true);
  host.join();
  EXPECT_EQ(SentEvents(kEventFileDownloadDns).size(), 5u * 4u);
}

}  // namespace
}  // namespace testing
}  // namespace lumo
