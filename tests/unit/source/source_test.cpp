// The source-selection steps: the bounded text GET, the HTTP DNS answer, record and cache, and,
// through real job runs, the checksum file, the preferred CDN domain and the download by
// resolved address.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <tuple>

#include "../download/download_test_env.h"
#include "source/http_dns_answer.h"
#include "source/http_dns_record.h"
#include "source/http_dns_resolver.h"
#include "source/http_text_request.h"
#include "source/preferred_domain.h"

namespace lumo {
namespace testing {
namespace {

using Urls = std::vector<std::string>;

const std::string kData = "http://127.0.0.1/pkg/data.bin", kSumOne = "http://127.0.0.1/one/sum.md5",
                  kSumTwo = "http://127.0.0.1/two/sum.md5", kOnCdn = "http://localhost/pkg/a.bin",
                  kElsewhere = "http://127.0.0.1/pkg/a.bin",
                  kContent = "0123456789abcdef0123456789abcdef  data.bin\n";

platform::CalendarTime Utc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s,
                           uint16_t ms, uint16_t dayOfWeek = 0) {
  return platform::CalendarTime{y, mo, dayOfWeek, d, h, mi, s, ms};
}
auto Fields(const platform::CalendarTime& t) {
  return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds,
                         t.dayOfWeek);
}

// A real worker whose CDN host is "localhost" (telemetry's host look-ups stay on the machine)
// with an executable folder of its own, and a resolver of its own on a clock the test sets.
class SourceTest : public DownloadTest {
 protected:
  SourceTest()
      : DownloadTest("localhost", TestDir().string() + "/exe/"),
        http_(engine_->HttpService(), timing_, quit_),
        resolver_(http_, endpoints_.httpDnsUrl, "localhost", identity_, *reporter_,
                  [this] { return Utc(2024, 5, 1, 12, 0, nowMs_ / 1000, nowMs_ % 1000); }) {
    saveDir_ = TestDir().string() + "/save";
    fs::create_directories(saveDir_);
    SetAnswers(Answer(200, "{}"));
  }

  void SetDnsAnswer(std::string body) { SetAnswers(Answer(200, "{}"), Answer(200, body)); }
  // Requests (GETs and transfers) whose URL starts with prefix.
  size_t Requests(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& request : engine_->Seen().httpRequests) n += request.url.rfind(prefix, 0) == 0;
    for (const std::string& url : CreatedUrls()) n += url.rfind(prefix, 0) == 0;
    return n;
  }
  // A successful transfer that leaves content at path, as the engine would.
  static FakeSessionScript Serves(const std::string& path, const std::string& content) {
    FakeSessionScript script = Succeeds();
    script.onPoll = [path, content](size_t) { WriteFile(path, content); };
    return script;
  }
  DownloadJob ChecksumJob(Urls checksumUrls, std::string md5 = Md5Hex(kContent)) {
    DownloadJob job = MakeJob({kData});
    job.checksumUrls = std::move(checksumUrls);
    job.checksumMd5 = std::move(md5);
    return job;
  }
  std::string ChecksumDir() const { return exeDir_ + "checksum/"; }
  std::vector<std::string> ChecksumFiles() const {  // sorted
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ChecksumDir()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  Signal quit_;
  WorkerIdentity identity_;
  HttpTextRequest http_;
  std::atomic<int> nowMs_{0};  // the resolver's clock: 2024-05-01 12:00 UTC plus this
  HttpDnsResolver resolver_;
};

TEST_F(SourceTest, TextGetTakesOnlyWholeSuccessfulAnswersUpTo64KiB) {
  using A = FakeHttpAnswer;  // created, sent, a status, which, the body, complete, incomplete
  // What comes, what the GET says, how many bytes of the body it hands back.
  for (const auto& [answer, result, kept] : std::vector<std::tuple<A, int32_t, size_t>>{
           {Answer(200, "hello\nworld"), kZdlOk, 11},
           {Answer(200, std::string(64 * 1024, 'x')), kZdlOk, 64 * 1024},
           {Answer(200, std::string(64 * 1024 + 1, 'x')), kZdlFail, 64 * 1024},
           {Answer(404, "not here"), kZdlFail, 8},
           {Answer(200, ""), kZdlFail, 0},
           {A{kZdlFail}, kZdlFail, 0},
           {A{kZdlOk, kZdlOk, false, 200, "x"}, kZdlFail, 1},
           {A{kZdlOk, kZdlOk, true, 200, "10.0.0.1 ", true, true}, kZdlFail, 9},
       }) {
    SetAnswers(answer);
    std::string body = "old";
    const int32_t got = http_.HttpGetText(&body, kData);
    EXPECT_EQ(std::make_pair(got, body.size()), std::make_pair(result, kept))
        << answer.body.substr(0, 20) << answer.status;
    EXPECT_TRUE(engine_->WaitUntil([&] { return engine_->Seen().liveRequests == 0; }));
  }
}

TEST(HttpDnsAnswerTest, AddressesAndLifetimeOfEachForm) {
  const std::string eightAndMore =
      "9.0.0.1 30\nx\n9.0.0.1\n9.0.0.2\n9.0.0.3\nbad.host\n9.0.0.4\n"
      "9.0.0.5\n9.0.0.6\n9.0.0.2\n9.0.0.7\n9.0.0.8\n1.1.1.1\n";
  const std::string notQuads =
      "1.2.3\n1.2.3.4.\n.1.2.3.4\n1.2.3.4.5\n256.1.1.1\n1.2.3.1000\n01.2.3.4\n"
      "1.2.3.04\n1..2.3\n1.2.3.4:80\n-1.2.3.4\n1.2.3.+4\n::1\n1.2.3.4/x\n";
  using Set = std::set<std::string>;
  const Set eight = {"9.0.0.1", "9.0.0.2", "9.0.0.3", "9.0.0.4",
                     "9.0.0.5", "9.0.0.6", "9.0.0.7", "9.0.0.8"};
  // The lifetime: nine tenths of what the server gave, or the default 300 seconds.
  for (const auto& [body, addresses, lifetime] : std::vector<std::tuple<std::string, Set, double>>{
           {"10.0.0.1 60\n10.0.0.2\n", {"10.0.0.1", "10.0.0.2"}, 54},
           {"1.2.3.4 000000000000000000000000007", {"1.2.3.4"}, 7 * 0.9},
           {"1.2.3.4 0", {"1.2.3.4"}, 0},
           // Runs of spaces are one separator; the lifetime is the first line's last field.
           {"   1.1.1.1    x   120  \n\n\n  2.2.2.2 999\n", {"1.1.1.1", "2.2.2.2"}, 108},
           // "60\r" is not all digits, and "10.0.0.2\r" would end up inside a URL's host.
           {"10.0.0.1 60\r\n10.0.0.2\r\n", {"10.0.0.1"}, 300},
           // Invalid entries and repeats use up no places; beyond eight nothing, even what
           // sorts first.
           {eightAndMore, eight, 27},
           {"60\n", {}, 54},  // a lone number gives the lifetime, but no address
           {"evil.example/x 60\n10.0.0.1\n", {"10.0.0.1"}, 54},
           {"1.2.3.4 672000", {"1.2.3.4"}, 604800},  // exactly seven days
           {"1.2.3.4 672001", {"1.2.3.4"}, 300},
           {std::string(64 * 1024, '7'), {}, 300},
           {"0.0.0.0\n255.255.255.255\n", {"0.0.0.0", "255.255.255.255"}, 300},
           {notQuads, {}, 300},
       }) {
    const HttpDnsAnswer parsed = ParseHttpDnsAnswer(body);
    EXPECT_EQ(parsed.addresses, addresses) << body.substr(0, 40);
    EXPECT_DOUBLE_EQ(parsed.lifetimeSeconds, lifetime) << body.substr(0, 40);
  }
}

TEST(HttpDnsRecordTest, ExpiryCarriesAcrossEveryFieldOrStaysNowWhenUnusable) {
  const platform::CalendarTime now = Utc(2024, 5, 1, 1, 2, 3, 4);
  for (const auto& [start, seconds, end] :
       std::vector<std::tuple<platform::CalendarTime, double, platform::CalendarTime>>{
           {Utc(2023, 12, 31, 23, 59, 59, 950), 54, Utc(2024, 1, 1, 0, 0, 53, 950, 1)},  // Monday
           {Utc(2024, 2, 28, 12, 0, 0, 0), 86400, Utc(2024, 2, 29, 12, 0, 0, 0, 4)},
           {Utc(2100, 3, 1, 0, 0, 0, 0), 86400, Utc(2100, 3, 2, 0, 0, 0, 0, 2)},
           {Utc(2024, 5, 1, 0, 0, 0, 0), 6.3, Utc(2024, 5, 1, 0, 0, 6, 300, 3)},
           {now, 0, Utc(2024, 5, 1, 1, 2, 3, 4, 3)},
           // Never a wrapped calendar: the time as it was, stale at once.
           {now, 1e300, now},
           {now, std::nan(""), now},
           {Utc(30827, 12, 31, 23, 59, 59, 0), 10, Utc(30827, 12, 31, 23, 59, 59, 0)},
       }) {
    EXPECT_EQ(Fields(CalendarTimeAfter(start, seconds)), Fields(end)) << seconds;
  }
}

TEST_F(SourceTest, ResolverKeepsARecordUntilItExpiresAndAStaleOneWhenTheRefreshFails) {
  const std::string body = "127.0.0.3 60\n127.0.0.2\n";
  SetDnsAnswer(body);
  const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->addresses, (std::set<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(Fields(record->expiry), Fields(Utc(2024, 5, 1, 12, 0, 54, 0, 3)));
  Form event = SentEvents(kEventDnsRequest).at(0);
  EXPECT_EQ(event["response"] + event["success"], body + "1");
  nowMs_ = 54000;  // fresh until the expiry has passed, to the millisecond
  EXPECT_EQ(resolver_.ResolveCdnHost(), record);
  EXPECT_EQ(Requests(endpoints_.httpDnsUrl + "localhost&t="), 1u);
  nowMs_ = 54001;
  SetAnswers(Answer(404, ""), Answer(503, ""));
  EXPECT_EQ(resolver_.ResolveCdnHost(), record);  // stale, but better than none
  SetDnsAnswer("127.0.0.9 0\n");
  EXPECT_EQ(resolver_.ResolveCdnHost()->addresses, (std::set<std::string>{"127.0.0.9"}));
  EXPECT_EQ(record->addresses.size(), 2u);  // whole for whoever still holds it
  EXPECT_EQ(Requests(endpoints_.httpDnsUrl), 3u);
  resolver_.Clear();
  SetAnswers(Answer(404, ""), Answer(503, ""));
  EXPECT_FALSE(resolver_.ResolveCdnHost());  // nothing stale left after a reset
}

// A wrong file is set aside at once and its URL not fetched again; failed URLs are tried twice,
// then at the resolved addresses; the right file serves the data and is set aside after.
TEST_F(SourceTest, ChecksumFetchedVerifiedAndSetAsideWithTheResolvedAddressesLast) {
  const std::string onCdn = "http://localhost/sums/sum.md5", path = ChecksumDir() + "sum.md5";
  const std::string atAddress = "/localhost/sums/sum.md5?t=";
  SetDnsAnswer("127.0.0.3 60\n127.0.0.2\n");
  // Set-aside copies: the newest eight of a name stay; a name of a copy's length is no copy.
  for (int i = 0; i < 10; ++i)
    WriteFile(ChecksumDir() + "sum.md5.2001010100000000" + std::to_string(i), "old");
  WriteFile(ChecksumDir() + "sum.md5.0000000000000000x", "not a copy");
  // Twice the CDN's URL, once the other (wrong), twice the first address, once the second.
  Queue({Fails(3), Fails(3), Serves(path, "wrong"), Fails(3), Fails(7), Serves(path, kContent),
         Succeeds()});
  std::string upper = Md5Hex(kContent);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  DownloadJob job = ChecksumJob({onCdn, kSumOne}, upper);
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(path));
  EXPECT_EQ((std::vector<size_t>{Requests(onCdn + "?t="), Requests(kSumOne + "?t="),
                                 Requests("http://127.0.0.2" + atAddress),
                                 Requests("http://127.0.0.3" + atAddress)}),
            (std::vector<size_t>{2, 1, 2, 1}));
  EXPECT_EQ(SentEvents(kEventFileDownloadDns).size(), 3u);  // one per attempt at an address
  const std::vector<FakeSessionRequest> s = engine_->Seen().sessionRequests;
  ASSERT_EQ(s.size(), 7u);
  EXPECT_EQ(std::tie(s[0].saveDir, s[6].url, s[6].checksumPath),
            std::make_tuple(WideOfUtf8(ChecksumDir()), kData, WideOfUtf8(path)));
  const std::vector<std::string> files = ChecksumFiles();  // old copies 0 to 3 went
  ASSERT_EQ(files.size(), 9u);
  EXPECT_EQ(files[0] + " " + files[1] + " " + ReadFile(ChecksumDir() + files[7]) +
                ReadFile(ChecksumDir() + files[8]),
            "sum.md5.0000000000000000x sum.md5.20010101000000004 wrong" + kContent);
  const std::vector<Form> reports = SentEvents(kEventRunningException);  // and the attempts'
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const Form& r) { return r.at("err") == "Illegal checksum file"; }),
            1);
}

// A file where the folder should be is reported with its code, and no URL is tried. A success
// that left no file, or a directory (whose empty read must not pass for the digest of ""), fails.
// A name the server chose cannot leave the folder.
TEST_F(SourceTest, ChecksumFailsWithoutFolderUrlsFileOrReadableFileAndNamesStayInItsFolder) {
  WriteFile(exeDir_ + "checksum", "x");
  DownloadJob job = ChecksumJob({kSumOne});
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 2u);                                     // the folder's, then the job's
  EXPECT_EQ(reports[0]["errExtCode"], std::to_string(0x80070003u));  // the path is not found
  fs::remove(exeDir_ + "checksum");
  SetDnsAnswer("127.0.0.2 60\n");
  job = ChecksumJob({});
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  EXPECT_TRUE(engine_->Seen().sessionRequests.empty());
  EXPECT_EQ(Requests(endpoints_.httpDnsUrl), 1u);  // asked all the same
  fs::create_directories(ChecksumDir() + "two.md5");
  engine_->SetDefaultSession(Succeeds());
  job = ChecksumJob({"http://127.0.0.1/x/one.md5", "http://127.0.0.1/x/two.md5"}, Md5Hex(""));
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  engine_->QueueSession(Serves(ChecksumDir() + ".._.._evil.md5", kContent));
  DownloadJob evil = ChecksumJob({"http://127.0.0.1/x/..\\..\\evil.md5"});
  EXPECT_EQ(worker_->RunFile(evil).code, 0);
  EXPECT_EQ(evil.checksumFile, WideOfUtf8(ChecksumDir() + ".._.._evil.md5"));
}

// Stopped while it comes (claimed or grown), refused when it came too fast to be stopped; the
// next URL is tried, the same one not again.
TEST_F(SourceTest, ChecksumFilesPast64MiBAreRefused) {
  const uint64_t limit = kZdlMaxChecksumFileBytes;
  FakeSessionScript claimed, grown;
  claimed.polls = {FakePoll{3, limit + 1, 1000, 10, 10}};
  grown.polls = {FakePoll{3, 0, 1000, 10, 10}, FakePoll{3, 0, limit + 1, 10, 10}};
  const std::string path = ChecksumDir() + "sum.md5", third = "http://127.0.0.1/three/sum.md5";
  // The third is too big but came in one poll: too fast to be stopped.
  Queue({claimed, grown, Serves(path, std::string(limit + 1, 'x')), Serves(path, kContent),
         Succeeds()});
  DownloadJob job = ChecksumJob({kSumOne, kSumTwo, third, "http://127.0.0.1/four/sum.md5"});
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(path));
  for (const std::string& url : {kSumOne, kSumTwo, third})
    EXPECT_EQ(Requests(url + "?t="), 1u) << url;
  // Two aborts; no resolver pass after a success; the big one gone, the good one set aside.
  EXPECT_EQ(std::make_tuple(engine_->CountCalls("Abort"), Requests(endpoints_.httpDnsUrl),
                            ChecksumFiles().size()),
            std::make_tuple(size_t{2}, size_t{0}, size_t{1}));
  EXPECT_EQ(SentEvents(kEventRunningException).at(0)["errExtCode"], std::to_string(0x800700DFu));
}

TEST(PreferredDomainTest, ReorderAndTextSearchNotJson) {
  EXPECT_EQ(PreferredDomain::Reorder({"U1-x", "U2", "U3-x", "U4"}, "x"),
            (Urls{"U3-x", "U1-x", "U2", "U4"}));
  EXPECT_EQ(PreferredDomain::Reorder({"A", "b", "a"}, "a"), (Urls{"a", "A", "b"}));
  using M = PreferredDomain::Match;
  const std::string kilo(1024, 'a');
  for (const auto& [body, match, domain] : std::vector<std::tuple<std::string, M, std::string>>{
           {R"({"domain":"cdn.b"})", M::kFound, "cdn.b"},
           {R"({"domain": "cdn.b"})", M::kNone, ""},
           {R"({"domain":"first","x":{"domain":"second"}})", M::kFound, "first"},
           {R"({"domain":"a\"b"})", M::kFound, "a\\"},
           {R"({"domain":"unterminated)", M::kNone, ""},
           {"domain\":\"" + kilo + "\"", M::kFound, kilo},
           // A value far beyond any host name is left alone rather than searched.
           {"domain\":\"" + std::string(1024 * 1024, 'a') + "\"", M::kTooLong, ""},
           {std::string(1024 * 1024, 'd') + "domain\":\"ok\"", M::kFound, "ok"},
       }) {
    std::string found = "untouched";
    EXPECT_EQ(PreferredDomain::FindDomain(body, &found), match) << body.substr(0, 60);
    EXPECT_EQ(found, match == M::kFound ? domain : "untouched") << body.substr(0, 60);
  }
}

TEST_F(SourceTest, PreferredCdnFirstPerGameCodeUnlessNoUsableDomainCame) {
  const std::string a1 = "http://127.0.0.1/a/1.bin", b1 = "http://localhost/b/1.bin";
  const std::string a2 = "http://127.0.0.1/a/2.bin", b2 = "http://localhost/b/2.bin";
  const std::string found = R"({"code":0,"data":{"domain":"localhost"}})";
  // The answer, the domain reported (or none) and the request's success.
  const std::vector<std::tuple<FakeHttpAnswer, std::string, std::string>> cases = {
      {Answer(200, found), "localhost", "1"},
      {Answer(404, found), "", "0"},
      {Answer(200, found + std::string(64 * 1024, ' ')), "", "0"},  // too big
  };
  engine_->SetDefaultSession(Succeeds());
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [answer, response, success] = cases[i];
    SetAnswers(answer);
    if (i == 1) worker_->SetGameCode("g1");
    DownloadJob job = MakeJob({a1, b1, a2, b2}, "f.bin");
    EXPECT_EQ(worker_->RunFile(job).code, 0);
    EXPECT_EQ(job.urls, i == 0 ? (Urls{b2, b1, a1, a2}) : (Urls{a1, b1, a2, b2})) << i;
    std::vector<Form> events = SentEvents(kEventCdnPreferRequest);
    ASSERT_EQ(events.size(), i + 1);
    EXPECT_EQ(events[i]["url"] + " " + events[i]["success"] + " " + events[i]["response"],
              job.urls[0] + " " + success + " " + response)
        << i;
  }
  EXPECT_EQ(std::make_pair(Requests(endpoints_.cdnConfigUrl + "global?t="),
                           Requests(endpoints_.cdnConfigUrl + "g1?t=")),
            std::make_pair(size_t{1}, cases.size() - 1));
}

TEST_F(SourceTest, FallbackTriesEveryRewrittenUrlTwiceAndReportsEach) {
  const std::string tls = "https://localhost:8443/pkg/a.bin?v=1";
  SetDnsAnswer("127.0.0.3 60\n127.0.0.2\n");
  engine_->SetDefaultSession(Fails(3));
  DownloadJob job = MakeJob({kOnCdn, kElsewhere, tls});
  EXPECT_EQ(worker_->RunFile(job).code, 3);
  const Urls rewritten = {"http://127.0.0.2/localhost/pkg/a.bin",
                          "http://127.0.0.3/localhost/pkg/a.bin",
                          "https://127.0.0.2/localhost:8443/pkg/a.bin?v=1",
                          "https://127.0.0.3/localhost:8443/pkg/a.bin?v=1"};
  Urls expected = {kOnCdn, kOnCdn, kElsewhere, kElsewhere, tls, tls}, reported;
  for (const std::string& url : rewritten) expected.insert(expected.end(), 2, url);
  EXPECT_EQ(CreatedUrls(), expected);
  EXPECT_EQ(engine_->Seen().sessionRequests.back().saveDir, WideOfUtf8(saveDir_));
  for (Form& event : SentEvents(kEventFileDownloadDns)) reported.push_back(event["cdnUrl"]);
  EXPECT_EQ(reported, Urls(expected.begin() + 6, expected.end()));
}

TEST_F(SourceTest, FallbackEndsAtASuccessOrAHardStopOrKeepsTheWalksFailure) {
  FakeSessionScript paused = Fails(3);
  paused.onPoll = [this](size_t) { worker_->SetRunning(false); };
  const std::string two = "127.0.0.2 60\n127.0.0.3\n";
  // The DNS answer, the job's URL, its sessions (then failures with 3), its result, the sessions
  // it made and the addresses tried.
  for (const auto& [dns, url, sessions, code, extendedCode, created, reported] :
       std::vector<std::tuple<std::string, std::string, std::vector<FakeSessionScript>, int32_t,
                              int32_t, size_t, size_t>>{
           {two, kElsewhere, {}, 3, 0, 2, 0},  // no URL on the CDN host: not "Abort download"
           {"", kOnCdn, {Fails(6), Fails(6)}, 6, 0, 2, 0},  // failed look-up
           {two, kOnCdn, {Fails(3), Fails(3), Fails(4, kZdlExtDiskFull)}, 4, kZdlExtDiskFull, 3, 1},
           {two, kOnCdn, {Fails(3), Fails(3), paused}, 3, 0, 3, 1},
           {two, kOnCdn, {Fails(3), Fails(3), Fails(3), Succeeds()}, 0, 0, 4, 2},
       }) {
    engine_->SetDefaultSession(Fails(3));
    worker_->ResetWorker();
    SetDnsAnswer(dns);
    const size_t createdBefore = CreatedUrls().size();
    const size_t reportedBefore = SentEvents(kEventFileDownloadDns).size();
    Queue(sessions);
    DownloadJob job = MakeJob({url});
    const DownloadResult result = worker_->RunFile(job);
    const std::vector<Form> events = SentEvents(kEventFileDownloadDns);
    EXPECT_EQ(std::make_tuple(result.code, result.extendedCode,
                              CreatedUrls().size() - createdBefore, events.size() - reportedBefore),
              std::make_tuple(code, extendedCode, created, reported));
    EXPECT_TRUE(code != 0 || events.back().at("success") == "1");
  }
}

// The host's progress calls and resets (which clear the DNS cache too) hammer the worker while
// jobs transfer and fall back: the sanitizer builds check that no freed record, session or
// address list is touched and no word is raced.
TEST_F(SourceTest, HostCallsDuringTransfersAndFallbacksAreSafe) {
  FakeSessionScript busy;  // 300 polls of a running transfer, then its end
  busy.polls.assign(301, FakePoll{4, 100000, 100000, 7, 7});
  for (uint64_t i = 0; i < 300; ++i) busy.polls[i] = FakePoll{3, 100000, (i + 1) * 100, 7, 7};
  SetDnsAnswer("127.0.0.2 0\n127.0.0.3\n");
  engine_->SetDefaultSession(Fails(3));
  std::atomic<bool> done{false};
  std::atomic<size_t> resets{0};
  std::thread host([&] {
    for (DownloadStatus status; !done.load(); ++resets) {
      worker_->ResetWorker();
      worker_->RefreshStatus(&status);
      worker_->CurrentPath();
      worker_->CompletedFiles();
      worker_->ApplyToCurrentSession(0, "abcd", 4);
    }
  });
  for (int i = 0; i < 6; ++i) {  // a transfer, then a job that falls back on both addresses
    if (i % 2 == 0) engine_->QueueSession(busy);
    DownloadJob job = MakeJob({kOnCdn});
    EXPECT_EQ(worker_->RunFile(job).code, i % 2 == 0 ? 0 : 3);
  }
  done = true;
  host.join();
  EXPECT_GT(resets.load(), 0u);
  EXPECT_EQ(SentEvents(kEventFileDownloadDns).size(), 3u * 4u);
  EXPECT_EQ(engine_->CountCalls("ReleaseSession"), 3u + 3u * 6u);
  EXPECT_FALSE(worker_->AbortCurrentSession(nullptr)) << "no session left to abort";
}

}  // namespace
}  // namespace testing
}  // namespace lumo
