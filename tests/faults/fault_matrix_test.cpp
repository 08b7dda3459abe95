// The fault matrix: the downloader object as the module builds it, bound in-process to the real
// engine with every interval shortened, against mirrors that drop, stall, lie about their length,
// ignore ranges or trickle, and services that are down, slow or answer garbage.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "base/endpoints.h"
#include "base/text_conversion.h"
#include "base/timing.h"
#include "local_services.h"
#include "module/downloader.h"
#include "module/engine_loader.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo::faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumo::testing::Md5Hex;
using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
using services::Faults;
using services::LocalServices;
using Clock = std::chrono::steady_clock;

// A hundred times shorter; text requests (0.5 s) and telemetry posts (1 s) keep bounds that a
// loaded machine meets.
Timing FaultTiming() {
  Timing t = Timing::Scaled(100);
  t.httpPoll = t.telemetryPoll = 10ms;
  t.destructorWait = 3000ms;
  return t;
}

struct Downloader {
  ZDownloadLoader engine{WideOfUtf8(LUMO_ENGINE_PATH)};  // the build's engine library
  Reporter reporter;
  LumoDownloader* object;

  explicit Downloader(const Endpoints& endpoints)
      : reporter(nullptr, endpoints.reportUrl, FaultTiming()),
        object(new LumoDownloader(engine, reporter, FaultTiming(), endpoints)) {
    object->AddRef();
    std::string error;
    EXPECT_EQ(object->Initialize(&error), 0) << error;
  }
  ~Downloader() { Shutdown(); }
  bool RunUntilIdle(std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (bool ok = object->Start() == 0; ok; std::this_thread::sleep_for(5ms)) {
      if (object->RunState() == kLumoRunStateIdle) return true;
      ok = Clock::now() < deadline;
    }
    return false;
  }
  std::chrono::milliseconds Shutdown() {
    const auto start = Clock::now();
    if (object != nullptr) {
      object->Stop(0);
      std::exchange(object, nullptr)->Release();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }
};

template <typename Set>
Faults With(Set set) {
  Faults f;
  set(f);
  return f;
}

constexpr const char* kCdnHost = "cdn.faults.test";

// The module's services on one local server: HTTP DNS resolves nothing, as no CDN host is set.
Endpoints ServiceEndpoints(const LocalServices& services) {
  return Endpoints{services.Url("/post"), services.Url("/cdn-domain/"),
                   services.Url("/?ws_domain="), kCdnHost};
}

// A job over misbehaving mirrors ends with the true file; the requests show how it got there.
struct MirrorCase {
  const char* name;
  size_t size;
  std::vector<Faults> mirrors;   // in the job's order
  size_t repeat;                 // the first mirror listed this many times
  bool checksum;                 // with a checksum manifest of the true file
  std::vector<int> requests;     // per mirror; -1: any number
  std::vector<int64_t> resumes;  // range starts of the first mirror's requests after its first
  double seconds;                // the bound of the whole job
};

const double kStallSeconds = 120 * FaultTiming().sessionPoll.count() / 1000.0;

std::vector<MirrorCase> MirrorCases() {
  std::mt19937_64 random(2024);
  std::set<uint64_t> offsets;
  while (offsets.size() < 20) offsets.insert(1 + random() % ((64ull << 20) - 1));
  const std::vector<uint64_t> drops(offsets.begin(), offsets.end());
  const int64_t small = 300 * 1024;
  const int64_t over = small + 4096, under = small - 4096;
  // clang-format off
  return {
      // Two attempts per URL and one retry of the job: 21 attempts for 20 drops, none fetching a
      // byte twice.
      {"DropsAtTwentyOffsets", 64u << 20, {With([&](Faults& f) { f.dropAt = drops; })}, 11, false,
       {21}, {drops.begin(), drops.end()}, 90},
      // A mirror stalled in the body, one that never sends headers (the 1 s connect time-out):
      // two stall aborts each, then the next mirror.
      {"StalledMirrorsThenTheNext", 1 << 20, {With([](Faults& f) { f.stallAfter = 128 * 1024; }),
       With([](Faults& f) { f.stallBeforeHeaders = true; }), Faults{}}, 1, false, {2, 2, 1}, {},
       4 * kStallSeconds + 20},
      // Ends short of the announced length: resumed at the true size, answered 416.
      {"LongerContentLength", small, {With([&](Faults& f) { f.declaredLength = over; })}, 1, false,
       {-1}, {small}, 60},
      {"ShorterContentLengthCaughtByTheChecksum", small,
       {With([&](Faults& f) { f.declaredLength = under; }), Faults{}}, 1, true, {2, -1}, {}, 60},
      {"WholeFileToARangeRequest", 4 << 20,
       {With([](Faults& f) { f.ignoreRange = true; f.dropAt = {1 << 20}; })}, 1, false, {2},
       {1 << 20}, 60},
      {"TrickleIsNoStall", 1500, {With([](Faults& f) { f.chunkBytes = 1; f.rate = 500; })}, 1,
       false, {1}, {}, 60},
  };
  // clang-format on
}

class MirrorFaults : public ::testing::TestWithParam<MirrorCase> {};

TEST_P(MirrorFaults, EndWithTheTrueFile) {
  const MirrorCase& c = GetParam();
  const fs::path dir = lumo::testing::TestDir();
  LocalServices mirror, moduleServices;
  ASSERT_TRUE(mirror.Start() && moduleServices.Start());
  const std::string content = RandomBytes(c.size, c.size);
  std::vector<std::string> urls;
  for (size_t i = 0; i < c.mirrors.size(); ++i) {
    const std::string path = "/" + std::to_string(i) + "/f.bin";
    mirror.AddFile(path, content, c.mirrors[i]);
    urls.insert(urls.end(), i == 0 ? c.repeat : 1, mirror.Url(path));
  }
  const std::string manifest = Md5Hex(content) + "  f.bin\n";
  mirror.AddFile("/f.md5", manifest);
  Downloader d(ServiceEndpoints(moduleServices));
  const uint32_t connectTimeout = 1;
  ASSERT_EQ(d.object->SetOption(kLumoOptionConnectTimeout, &connectTimeout, 4), 0);
  ASSERT_EQ(lumo::testing::AddJob(d.object, urls, dir, "f.bin",
                                  std::vector<std::string>(c.checksum, mirror.Url("/f.md5")),
                                  c.checksum ? Md5Hex(manifest) : ""),
            0);
  const auto start = Clock::now();
  ASSERT_TRUE(d.RunUntilIdle(std::chrono::milliseconds(static_cast<int>(c.seconds * 1000))));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), c.seconds);
  EXPECT_EQ(lumo::testing::CompletedFiles(d.object).size(), 1u);
  EXPECT_TRUE(Md5Hex(ReadFile(dir / "f.bin")) == Md5Hex(content) &&
              !fs::exists(dir / "f.bin.part"));
  for (size_t i = 0; i < c.requests.size(); ++i) {
    const int count = static_cast<int>(mirror.RequestCount("/" + std::to_string(i) + "/f.bin"));
    EXPECT_EQ(c.requests[i] < 0 ? -1 : count, c.requests[i]) << i;
  }
  const auto requests = mirror.Requests("/0/f.bin");
  ASSERT_GT(requests.size(), c.resumes.size());
  EXPECT_EQ(requests[0].RangeStart(), -1);
  for (size_t i = 0; i < c.resumes.size(); ++i) {
    EXPECT_EQ(requests[i + 1].RangeStart(), c.resumes[i]) << i;
    EXPECT_NE(requests[i + 1].Header("If-Range"), "") << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Mirrors, MirrorFaults, ::testing::ValuesIn(MirrorCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Each of the module's three services down, slow or answering garbage, while a job whose every
// URL fails (so HTTP DNS is asked) and a good job run: the good one completes, within the bounds.
enum class Service { kTelemetry, kHttpDns, kCdnConfig };
enum class Mode { kDown, kSlow, kGarbage };
class ServiceFaults : public ::testing::TestWithParam<std::tuple<Service, Mode>> {};

std::string ServiceName(const ::testing::TestParamInfo<ServiceFaults::ParamType>& info) {
  const char* const services[] = {"Telemetry", "HttpDns", "CdnConfig"};
  const char* const modes[] = {"Down", "Slow", "Garbage"};
  return std::string(services[static_cast<int>(std::get<0>(info.param))]) +
         modes[static_cast<int>(std::get<1>(info.param))];
}

TEST_P(ServiceFaults, DownloadsGoOnWithinTheBounds) {
  const auto [service, mode] = GetParam();
  const fs::path dir = lumo::testing::TestDir();
  LocalServices mirror, moduleServices;
  ASSERT_TRUE(mirror.Start() && moduleServices.Start());
  const std::string content = RandomBytes(512 * 1024, 10);
  mirror.AddFile("/cdn/good.bin", content);
  Endpoints endpoints = ServiceEndpoints(moduleServices);
  const int i = static_cast<int>(service);
  // Lines that look almost right: no address here may send traffic anywhere.
  const std::string tails[] = {
      "",
      "\n999.1.1.1 60\n01.2.3.4\n1.2.3 99999999999999999999999999999\n" + std::string(100000, '9') +
          "\n-5\n\r\n  \n",
      "{\"domain\":\"" + std::string(100000, 'x') + "\"}{\"domain\":\"\"}"};
  const std::string garbage = RandomBytes(256 * 1024, 77) + tails[i];
  if (mode == Mode::kDown) {
    LocalServices closed;  // a port that was just free and is closed again
    ASSERT_TRUE(closed.Start());
    std::string Endpoints::*const fields[] = {&Endpoints::reportUrl, &Endpoints::httpDnsUrl,
                                              &Endpoints::cdnConfigUrl};
    endpoints.*fields[i] = ServiceEndpoints(closed).*fields[i];
    closed.Stop();
  } else {
    const char* const paths[] = {"/post", "/", "/cdn-domain/global"};
    // Slow: far longer than any wait of the module, yet cut short when the server stops.
    if (mode == Mode::kSlow)
      moduleServices.SetReply(paths[i], 200, "late-answer 60\n{\"domain\":\"cdn\"}", 3s);
    if (mode == Mode::kGarbage) moduleServices.SetReply(paths[i], i == 0 ? 500 : 200, garbage);
  }
  Downloader d(endpoints);
  const std::string missing = mirror.Url(std::string("/") + kCdnHost + "/missing.bin");
  ASSERT_EQ(lumo::testing::AddJob(d.object, {missing}, dir, "missing.bin"), 0);
  ASSERT_EQ(lumo::testing::AddJob(d.object, {mirror.Url("/cdn/good.bin")}, dir, "good.bin"), 0);
  const auto start = Clock::now();
  ASSERT_TRUE(d.RunUntilIdle(60s));
  EXPECT_TRUE(ReadFile(dir / "good.bin") == content && !fs::exists(dir / "missing.bin"));
  // Two runs of the failing job, each with its HTTP DNS query and preferred-domain request, and
  // the good job's: at most five text requests of 0.5 s each, and some polling.
  EXPECT_LT(Clock::now() - start, 15s);
  EXPECT_LT(d.Shutdown(), 3000ms);
}

INSTANTIATE_TEST_SUITE_P(
    Services, ServiceFaults,
    ::testing::Combine(::testing::Values(Service::kTelemetry, Service::kHttpDns,
                                         Service::kCdnConfig),
                       ::testing::Values(Mode::kDown, Mode::kSlow, Mode::kGarbage)),
    ServiceName);

// Telemetry bodies grow with the job count: a large one reaches the collector like a small one.
TEST(TelemetryBodies, LargeBodiesReachTheCollector) {
  LocalServices collector;
  ASSERT_TRUE(collector.Start());
  ZDownloadLoader engine(WideOfUtf8(LUMO_ENGINE_PATH));
  ASSERT_EQ(engine.Bind(nullptr), 0);
  Reporter reporter(engine.HttpService(), collector.Url("/post"), FaultTiming());
  const std::vector<size_t> sizes = {1000, 16000, 64000, 1000000};
  for (size_t size : sizes) reporter.Enqueue(std::string(size, 'p'));
  EXPECT_TRUE(collector.WaitFor([&] { return collector.Telemetry().size() >= 4; }, 20s));
  std::vector<size_t> received;
  for (const auto& post : collector.Telemetry()) received.push_back(post.body.size());
  EXPECT_EQ(received, sizes);
}

}  // namespace
}  // namespace lumo::faults
