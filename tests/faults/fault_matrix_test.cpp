// The fault matrix: mirrors that drop, stall, lie about their length, ignore ranges or trickle,
// and telemetry, HTTP DNS and CDN configuration services that are down, slow or answer garbage.
// The real engine moves the bytes; every file that ends complete is MD5-checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>

#include "fault_harness.h"
#include "local_services.h"

namespace lumo::faults {
namespace {

using namespace std::chrono_literals;
using services::Faults;
using services::LocalServices;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kBigFile = 64ull << 20;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class FaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mirror_.Start());
    ASSERT_TRUE(services_.Start());
    dir_ = ScenarioDir("matrix");
  }
  void TearDown() override {
    downloader_.reset();
    mirror_.Stop();
    services_.Stop();
    fs::remove_all(dir_);
  }

  Endpoints ServiceEndpoints() const {
    return Endpoints{services_.Url("/post"), services_.Url("/cdn-domain/"),
                     services_.Url("/?ws_domain="), kCdnHost};
  }
  Downloader& Make(const Endpoints& endpoints) {
    downloader_ = std::make_unique<Downloader>(endpoints);
    return *downloader_;
  }

  static constexpr const char* kCdnHost = "cdn.faults.test";
  LocalServices mirror_;
  LocalServices services_;  // HTTP DNS resolves nothing: no CDN host is configured
  fs::path dir_;
  std::unique_ptr<Downloader> downloader_;
};

TEST_F(FaultMatrix, DropsAtTwentyRandomOffsetsOfA64MiBFileEndByteIdentical) {
  const std::string content = RandomBytes(kBigFile, 64);
  std::mt19937_64 random(2024);
  std::set<uint64_t> offsets;
  while (offsets.size() < 20) offsets.insert(1 + random() % (kBigFile - 1));
  Faults faults;
  faults.dropAt.assign(offsets.begin(), offsets.end());
  mirror_.AddFile("/big.bin", content, faults);

  Downloader& d = Make(ServiceEndpoints());
  // Two attempts per URL and one retry of the job: the same mirror listed eleven times gives
  // the 21 attempts that 20 drops need.
  const std::vector<std::string> urls(11, mirror_.Url("/big.bin"));
  ASSERT_EQ(d.Add(urls, dir_, "big.bin"), 0);
  ASSERT_TRUE(d.RunUntilIdle(90s));
  EXPECT_EQ(d.Completed().size(), 1u);
  EXPECT_EQ(FileMd5(dir_ / "big.bin"), Md5Hex(content));
  EXPECT_FALSE(fs::exists(dir_ / "big.bin.part"));

  // Every attempt after a drop resumed where the data stopped: no byte fetched twice.
  const auto requests = mirror_.Requests("/big.bin");
  ASSERT_EQ(requests.size(), 21u);
  EXPECT_EQ(requests[0].RangeStart(), -1);
  auto offset = offsets.begin();
  for (size_t i = 1; i < requests.size(); ++i, ++offset) {
    EXPECT_EQ(requests[i].RangeStart(), static_cast<int64_t>(*offset)) << i;
    EXPECT_NE(requests[i].Header("If-Range"), "") << i;
  }
}

TEST_F(FaultMatrix, StalledMirrorIsAbortedThenTheNextMirrorDelivers) {
  const std::string content = RandomBytes(1 << 20, 5);
  Faults stallMidBody;
  stallMidBody.stallAfter = 128 * 1024;
  Faults stallBeforeHeaders;
  stallBeforeHeaders.stallBeforeHeaders = true;
  mirror_.AddFile("/a/f.bin", content, stallMidBody);
  mirror_.AddFile("/b/f.bin", content, stallBeforeHeaders);
  mirror_.AddFile("/c/f.bin", content);

  Downloader& d = Make(ServiceEndpoints());
  // A server that never answers is given up after the connect time-out (1 s here).
  const uint32_t connectTimeout = 1;
  ASSERT_EQ(d->SetOption(kLumoOptionConnectTimeout, &connectTimeout, 4), 0);
  ASSERT_EQ(d.Add({mirror_.Url("/a/f.bin"), mirror_.Url("/b/f.bin"), mirror_.Url("/c/f.bin")}, dir_,
                  "f.bin"),
            0);
  const auto start = Clock::now();
  ASSERT_TRUE(d.RunUntilIdle(60s));
  const double took = SecondsSince(start);
  EXPECT_EQ(FileMd5(dir_ / "f.bin"), Md5Hex(content));
  EXPECT_EQ(mirror_.RequestCount("/a/f.bin"), 2u);
  EXPECT_EQ(mirror_.RequestCount("/b/f.bin"), 2u);
  EXPECT_EQ(mirror_.RequestCount("/c/f.bin"), 1u);
  // Four stall aborts of 120 polls each, and not much more.
  const double stallSeconds = 120 * FaultTiming().sessionPoll.count() / 1000.0;
  EXPECT_LT(took, 4 * stallSeconds + 20);
}

TEST_F(FaultMatrix, ContentLengthLongerThanTheBodyEndsWithTheTrueFile) {
  const std::string content = RandomBytes(300 * 1024, 6);
  Faults lies;
  lies.declaredLength = static_cast<int64_t>(content.size()) + 4096;
  mirror_.AddFile("/a/f.bin", content, lies);
  mirror_.AddFile("/b/f.bin", content);

  Downloader& d = Make(ServiceEndpoints());
  ASSERT_EQ(d.Add({mirror_.Url("/a/f.bin")}, dir_, "only-a.bin"), 0);
  ASSERT_EQ(d.Add({mirror_.Url("/a/f.bin"), mirror_.Url("/b/f.bin")}, dir_, "f.bin"), 0);
  ASSERT_TRUE(d.RunUntilIdle(60s));
  // The first attempt ends short of the announced length and is not taken as complete; the
  // resume is answered 416 with the file's true size, which the data already has.
  const auto requests = mirror_.Requests("/a/f.bin");
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1].RangeStart(), static_cast<int64_t>(content.size()));
  EXPECT_EQ(FileMd5(dir_ / "only-a.bin"), Md5Hex(content));
  EXPECT_EQ(FileMd5(dir_ / "f.bin"), Md5Hex(content));
  EXPECT_EQ(d.Completed().size(), 2u);
}

TEST_F(FaultMatrix, ContentLengthShorterThanTheFileIsCaughtByTheChecksum) {
  const std::string content = RandomBytes(300 * 1024, 7);
  Faults lies;
  lies.declaredLength = static_cast<int64_t>(content.size()) - 4096;
  mirror_.AddFile("/a/f.bin", content, lies);
  mirror_.AddFile("/b/f.bin", content);
  const std::string manifest = Md5Hex(content) + "  f.bin\n";
  mirror_.AddFile("/f.md5", manifest);

  Downloader& d = Make(ServiceEndpoints());
  ASSERT_EQ(d.Add({mirror_.Url("/a/f.bin"), mirror_.Url("/b/f.bin")}, dir_, "f.bin",
                  {mirror_.Url("/f.md5")}, Md5Hex(manifest)),
            0);
  ASSERT_TRUE(d.RunUntilIdle(60s));
  EXPECT_EQ(FileMd5(dir_ / "f.bin"), Md5Hex(content));
  EXPECT_EQ(mirror_.RequestCount("/a/f.bin"), 2u);
}

TEST_F(FaultMatrix, AWholeFileAnsweredToARangeRequestRestartsFromZero) {
  const std::string content = RandomBytes(4 << 20, 8);
  Faults faults;
  faults.ignoreRange = true;
  faults.dropAt = {1 << 20};
  mirror_.AddFile("/f.bin", content, faults);

  Downloader& d = Make(ServiceEndpoints());
  ASSERT_EQ(d.Add({mirror_.Url("/f.bin")}, dir_, "f.bin"), 0);
  ASSERT_TRUE(d.RunUntilIdle(60s));
  EXPECT_EQ(FileMd5(dir_ / "f.bin"), Md5Hex(content));
  EXPECT_EQ(fs::file_size(dir_ / "f.bin"), content.size());
  const auto requests = mirror_.Requests("/f.bin");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].RangeStart(), 1 << 20);
}

TEST_F(FaultMatrix, ABodyTrickledByteByByteIsNotTakenForAStall) {
  const std::string content = RandomBytes(1500, 9);
  Faults slow;
  slow.chunkBytes = 1;
  slow.rate = 500;  // a byte every 2 ms
  mirror_.AddFile("/f.bin", content, slow);

  Downloader& d = Make(ServiceEndpoints());
  ASSERT_EQ(d.Add({mirror_.Url("/f.bin")}, dir_, "f.bin"), 0);
  ASSERT_TRUE(d.RunUntilIdle(60s));
  EXPECT_EQ(FileMd5(dir_ / "f.bin"), Md5Hex(content));
  EXPECT_EQ(mirror_.RequestCount("/f.bin"), 1u);
}

// The three services of the module, each down, slow or answering garbage. A job whose every
// URL fails (so HTTP DNS is asked) and a good job run; the good one always completes and
// neither waits longer than the bounds.
enum class Service { kTelemetry, kHttpDns, kCdnConfig };
enum class Mode { kDown, kSlow, kGarbage };

struct ServiceFault {
  Service service;
  Mode mode;
};

std::string Name(const ServiceFault& f) {
  static const char* const kServices[] = {"Telemetry", "HttpDns", "CdnConfig"};
  static const char* const kModes[] = {"Down", "Slow", "Garbage"};
  return std::string(kServices[static_cast<int>(f.service)]) + kModes[static_cast<int>(f.mode)];
}

class ServiceFaults : public FaultMatrix, public ::testing::WithParamInterface<ServiceFault> {};

std::string Garbage(Service service) {
  std::string bytes = RandomBytes(256 * 1024, 77);
  switch (service) {
    case Service::kHttpDns:
      // Lines that look almost right: no address here may send traffic anywhere.
      return bytes + "\n999.1.1.1 60\n01.2.3.4\n1.2.3 99999999999999999999999999999\n" +
             std::string(100000, '9') + "\n-5\n\r\n  \n";
    case Service::kCdnConfig:
      return bytes + "{\"domain\":\"" + std::string(100000, 'x') + "\"}{\"domain\":\"\"}";
    case Service::kTelemetry:
      return bytes;
  }
  return bytes;
}

TEST_P(ServiceFaults, DownloadsGoOnWithinTheBounds) {
  const ServiceFault fault = GetParam();
  const std::string content = RandomBytes(512 * 1024, 10);
  mirror_.AddFile("/cdn/good.bin", content);
  const std::string missing = mirror_.Url(std::string("/") + kCdnHost + "/missing.bin");

  Endpoints endpoints = ServiceEndpoints();
  const std::string path = fault.service == Service::kTelemetry ? "/post"
                           : fault.service == Service::kHttpDns ? "/"
                                                                : "/cdn-domain/global";
  switch (fault.mode) {
    case Mode::kDown: {
      // A port that was just free and is closed again.
      LocalServices closed;
      ASSERT_TRUE(closed.Start());
      const std::string base = closed.Url();
      closed.Stop();
      if (fault.service == Service::kTelemetry) endpoints.reportUrl = base + "/post";
      if (fault.service == Service::kHttpDns) endpoints.httpDnsUrl = base + "/?ws_domain=";
      if (fault.service == Service::kCdnConfig) endpoints.cdnConfigUrl = base + "/cdn-domain/";
      break;
    }
    case Mode::kSlow:
      // Far longer than any wait of the module, yet cut short when the server stops; never an
      // address to call.
      services_.SetReply(path, 200, "late-answer 60\n{\"domain\":\"cdn\"}", 3s);
      break;
    case Mode::kGarbage:
      // The collector also answers with a status that is no success.
      services_.SetReply(path, fault.service == Service::kTelemetry ? 500 : 200,
                         Garbage(fault.service));
      break;
  }

  Downloader& d = Make(endpoints);
  ASSERT_EQ(d.Add({missing}, dir_, "missing.bin"), 0);
  ASSERT_EQ(d.Add({mirror_.Url("/cdn/good.bin")}, dir_, "good.bin"), 0);
  const auto start = Clock::now();
  ASSERT_TRUE(d.RunUntilIdle(60s));
  const double took = SecondsSince(start);
  EXPECT_EQ(FileMd5(dir_ / "good.bin"), Md5Hex(content));
  EXPECT_FALSE(fs::exists(dir_ / "missing.bin"));
  // Two runs of the failing job, each with its HTTP DNS query and its preferred-domain request,
  // plus the good job's request: at most five text requests of 0.5 s each, and some polling.
  EXPECT_LT(took, 15.0);
  const auto shutdown = d.Shutdown();
  EXPECT_LT(shutdown, 3000ms);
}

std::vector<ServiceFault> EveryServiceFault() {
  std::vector<ServiceFault> all;
  for (Service service : {Service::kTelemetry, Service::kHttpDns, Service::kCdnConfig}) {
    for (Mode mode : {Mode::kDown, Mode::kSlow, Mode::kGarbage}) all.push_back({service, mode});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Services, ServiceFaults, ::testing::ValuesIn(EveryServiceFault()),
                         [](const ::testing::TestParamInfo<ServiceFault>& info) {
                           return Name(info.param);
                         });

// Telemetry bodies grow with the job count (the statistics text names every file): a large one
// reaches the collector like a small one.
TEST(TelemetryBodies, LargeBodiesReachTheCollector) {
  LocalServices collector;
  ASSERT_TRUE(collector.Start());
  RealEngine engine;
  std::string error;
  ASSERT_EQ(engine.Bind(&error), 0);
  {
    Reporter reporter(engine.HttpService(), collector.Url("/post"), FaultTiming());
    for (size_t size : {1000u, 16000u, 64000u, 1000000u}) {
      reporter.Enqueue("eventType=BIG&pad=" + std::string(size, 'p'));
    }
    EXPECT_TRUE(collector.WaitFor([&] { return collector.Telemetry().size() >= 4; }, 20s));
    const auto posts = collector.Telemetry();
    ASSERT_EQ(posts.size(), 4u);
    EXPECT_EQ(posts[3].body.size(), 1000000u + 18);
  }
  engine.ReleaseAndTerminate();
}

}  // namespace
}  // namespace lumo::faults
