// The built module loaded as a launcher loads it, called with null pointers, hostile names,
// huge jobs and from several threads at once, and terminated at every stage of a job.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <utility>

#include "local_services.h"
#include "support/loaded_module.h"
#include "support/scratch.h"

namespace lumo::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumo::testing::AddJob;
using lumo::testing::LoadedModule;
using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
using lumo::testing::RunInChild;
using services::Faults;
using services::LocalServices;
using Endpoint = LocalServices::Endpoint;

constexpr int32_t kOk = 0;
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);

std::chrono::milliseconds Scaled(std::chrono::milliseconds production) {
  return std::max(production / LUMO_HOST_TIME_DIVISOR, std::chrono::milliseconds(1));
}
// A job of a few small files: a few worker and session polls.
std::chrono::milliseconds JobBound(int polls = 30) { return Scaled(1000ms) * polls + 10s; }
const std::chrono::milliseconds kStuckBound = Scaled(5000ms);

std::set<int> ThreadIds() {
  std::set<int> ids;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    ids.insert(std::atoi(entry.path().filename().c_str()));
  }
  return ids;
}

// One host session over the built module: null pointers, strings without an assign function
// and host names that lead out of the save folder, to a device or a stream (one of each kind:
// unit_base has the rule's table) answer with their codes and queue nothing; a name with
// subfolders in any script lands where it says; 10 000 URLs in a job (null ones skipped); adders,
// pollers, option setters and pause/resume on several threads at once; then a job of 10 000 URLs
// that all fail, cut short by Stop and termination.
TEST(HostInput, EveryCallAnswersAndEveryJobLands) {
  RunInChild([] {
    LocalServices server;
    ASSERT_TRUE(server.Start());
    const std::string content = RandomBytes(64 * 1024, 23);
    server.AddFile("/u0.bin", content);
    LoadedModule host(LUMO_MODULE_PATH);
    ASSERT_NE(host.init, nullptr);
    void* out = reinterpret_cast<void*>(0x1);
    // Before any initialisation; then no error text wanted.
    EXPECT_TRUE(host.term() == kOk && host.getObject(&IID_ILumoDownloader, &out) == kNoInterface);
    EXPECT_TRUE(out == nullptr && host.init(nullptr) == kOk);
    ASSERT_EQ(host.getObject(&IID_ILumoDownloader, &out), kOk);
    ILumoDownloader* d = host.downloader = static_cast<ILumoDownloader*>(out);
    LumoString noAssign{nullptr, nullptr};
    uint32_t state = 0, average = 0, current = 0, size = 0;
    uint64_t bytes = 0;
    const fs::path dir = lumo::testing::TestDir() / "save";
    fs::create_directories(dir);
    const std::vector<std::string> url = {server.Url("/u0.bin")};
    // Argument checks of AddDownload itself are unit_module's; here, what the host hands over.
    const std::pair<int32_t, int32_t> calls[] = {
        {host.getObject(nullptr, &out), kNoInterface},
        {host.getObject(&IID_ILumoDownloader, nullptr), kInvalidArg},
        {host.getObject(nullptr, nullptr), kInvalidArg},
        {d->QueryInterface(nullptr, &out), kNoInterface},
        {d->QueryInterface(&IID_ILumoDownloader, nullptr), kInvalidArg},
        {d->SetOption(8, nullptr, 0), kOk},
        {d->GetOption(8, &noAssign, &size), kOk},
        {d->GetProgress(nullptr, &bytes, &average, &current, nullptr), kInvalidArg},
        {d->GetProgress(&state, nullptr, &average, &current, nullptr), kInvalidArg},
        {d->GetProgress(&state, &bytes, nullptr, &current, nullptr), kInvalidArg},
        {d->GetProgress(&state, &bytes, &average, nullptr, nullptr), kInvalidArg},
        {d->GetProgress(&state, &bytes, &average, &current, &noAssign), kOk},
        {d->GetOverallState(nullptr, nullptr), kInvalidArg},
        {d->GetOverallState(&state, nullptr), kOk},
        {d->GetStatistics(nullptr), kInvalidArg},
        {d->GetCompletedFiles(nullptr), kInvalidArg},
        {d->GetCompletedFiles(&noAssign), kOk},
    };
    for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i].first, calls[i].second) << i;
    for (const char* name : {"../../pwned.dll", "data\\..\\..\\pwned.dll", "/tmp/pwned.dll",
                             "C:pwned.dll", "game.dll::$DATA", "a\r\nforged.dll", "data/nul.txt"}) {
      EXPECT_EQ(AddJob(d, url, dir, name), kInvalidArg) << name;
    }
    EXPECT_TRUE(size == 0 && host.RunUntilIdle(JobBound()) && server.RequestCount() == 0);
    // The worker runs from here on: each job is waited for by its completed file (a Start
    // after a job resets the records, before it races the worker that takes it).
    const auto completedCount = [&](size_t n) {
      return host.PollUntil([&] { return host.Completed().size() == n; }, JobBound());
    };
    // Subfolders in any script, either separator.
    const std::string folder = "\xE6\x95\xB0\xE6\x8D\xAE", leaf = "\xE5\x90\x8D\xE5\x89\x8D.bin";
    EXPECT_TRUE(AddJob(d, url, dir, folder + "\\sub/" + leaf) == kOk && completedCount(1));
    const std::string written = dir.string() + "/" + folder + "/sub/" + leaf;
    EXPECT_TRUE(ReadFile(fs::u8path(written)) == content);
    EXPECT_EQ(host.Completed(), std::vector<std::string>{written});
    std::string currentPath;
    LumoString currentText = LumoStringFor(currentPath);
    EXPECT_EQ(d->GetProgress(&state, &bytes, &average, &current, &currentText), kOk);
    EXPECT_TRUE(currentPath == written && !fs::exists(dir.parent_path() / "pwned.dll"));

    std::vector<std::string> texts, missing;
    for (int i = 0; i < 10000; ++i) {
      texts.push_back(server.Url("/u" + std::to_string(i) + ".bin"));
      missing.push_back(server.Url("/m" + std::to_string(i)));
    }
    std::vector<const char*> many;
    for (const std::string& t : texts) many.insert(many.end(), {t.c_str(), nullptr});
    const auto n = static_cast<uint32_t>(many.size());
    const std::u16string dirWide = dir.u16string();
    EXPECT_EQ(d->AddDownload(many.data(), n, reinterpret_cast<const LumoWChar*>(dirWide.c_str()),
                             reinterpret_cast<const LumoWChar*>(u"u.bin"), many.data(), n, nullptr),
              kOk);
    EXPECT_TRUE(completedCount(2));
    EXPECT_TRUE(ReadFile(dir / "u.bin") == content && server.RequestCount("/u1.bin") == 0);

    // Two adders, and two callers of every other method (pausing and resuming in turn).
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    const auto check = [&](int32_t code, bool paused = false) {
      bad += code != kOk && !(paused && code == kAccessDenied);
    };
    const std::vector<std::string> names = {"c0", "c1", "c2", "c3", "c4", "c5"};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (size_t i = t; t < 2 && i < names.size(); i += 2) check(AddJob(d, url, dir, names[i]));
        for (uint32_t n = 0; t >= 2 && !done; ++n) {
          std::string path, sid = "sid-" + std::to_string(n), speed(4, '\0');
          LumoString pathText = LumoStringFor(path);
          uint32_t s = 0, a = 0, c = 0;
          uint64_t b = 0;
          DownloadStatus status{};
          check(d->GetProgress(&s, &b, &a, &c, &pathText));
          check(d->GetStatistics(&status));
          check(d->GetOverallState(&s, nullptr));
          check(d->GetCompletedFiles(&pathText));
          check(d->SetOption(8, sid.data(), static_cast<uint32_t>(sid.size())));
          check(d->SetOption(0, speed.data(), 4));
          check(d->GetOption(8, &pathText, &c));
          bad += path.compare(0, 4, "sid-") != 0;
          if (n % 50 == 0 && n < 1000) {
            check(d->Pause(0), true);
            check(d->SampleStatistics());
            check(d->Resume());
            check(d->ResetProgress());
          }
        }
      });
    }
    for (size_t i = 0; i < 2; ++i) threads[i].join();
    // Polled by size: the callers' ResetProgress clears the completed records.
    const auto allWritten = [&] {
      std::error_code e;
      return std::all_of(names.begin(), names.end(),
                         [&](auto& n) { return fs::file_size(dir / n, e) == content.size(); });
    };
    const bool finished = host.PollUntil(allWritten, JobBound(60));
    done = true;
    for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
    EXPECT_TRUE(finished && bad == 0 && d->Resume() == kOk);
    for (const std::string& n : names) EXPECT_TRUE(ReadFile(dir / n) == content) << n;

    EXPECT_EQ(AddJob(d, missing, dir, "missing.bin"), kOk);
    const int32_t started = d->Start();  // the worker may have taken the job already
    EXPECT_TRUE(started == kOk || started == kAccessDenied) << started;
    EXPECT_TRUE(server.WaitFor([&] { return server.RequestCount("/m1") > 0; }, JobBound()));
    EXPECT_LT(host.Terminate(true), kStuckBound + 5s);
    const size_t afterTerm = server.RequestCount();
    server.Stop();
    EXPECT_TRUE(server.RequestCount() == afterTerm && afterTerm < 20000u) << afterTerm;
  });
}

// Teardown at every stage of a job, whatever is stuck: Release and mod_lumoterm answer within
// the bound, the library unloads, the process lives on with only the host's threads once the
// calls nobody can interrupt have returned, and no half file lies under the final name. The
// teardown copy of the module has its collector, CDN configuration and HTTP DNS on fixed ports.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 5;
#else
constexpr int kSanitizerSlowdown = 1;
#endif
constexpr auto kSlowResolverDelay = 8000ms;

// The preloaded resolver's controls; null when it is not preloaded.
const auto kArm = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "lumo_slow_resolver_arm"));
const auto kAsleep = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "lumo_slow_resolver_asleep"));
int SlowResolverAsleep() { return kAsleep != nullptr ? kAsleep() : 0; }

// Holds the fixed ports against other runs on this machine until this process (the cell's
// child) ends: a name in the abstract socket namespace that one process at a time can bind (the
// test servers share ports by SO_REUSEPORT).
bool HoldTheTeardownPorts() {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, "\0lumo-teardown-ports"};
  const socklen_t length = offsetof(sockaddr_un, sun_path) + sizeof "lumo-teardown-ports";
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(100ms)) {
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return true;
  }
  return false;
}

constexpr size_t kLargeSize = 384u << 20;
constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";
const std::string kManifest = std::string(kDigest) + "  file.bin\n";

struct Scene {
  LoadedModule& host;
  LocalServices& server;
  fs::path dir;
  std::string content;

  ILumoDownloader* d() { return host.downloader; }
  int32_t Add(const std::string& path, const std::string& sums = "", const std::string& md5 = "") {
    return AddJob(d(), {server.Url(path)}, dir, "file.bin",
                  sums.empty() ? std::vector<std::string>{} : std::vector{server.Url(sums)}, md5);
  }
  // Queues path and starts; returns once the server holds a request stalled.
  void Stall(const std::string& path, const std::string& sums = "", const std::string& md5 = "") {
    EXPECT_TRUE(Add(path, sums, md5) == kOk && d()->Start() == kOk);
    EXPECT_TRUE(server.WaitForStall(JobBound()));
  }
  void Silent(Endpoint endpoint, const std::string& path) {
    server.SetSilent(endpoint, true);
    Stall(path);
  }
  bool Completed() {
    return host.PollUntil([&] { return host.Completed().size() == 1; }, JobBound());
  }
};

enum Flags { kNone = 0, kStuck = 1, kFileDone = 2, kStopFirst = 4 };
struct Cell {
  const char* name;
  void (*reach)(Scene&);  // brings the module to the stage
  int flags;              // kStuck: something hangs (the 5 s bound, else 100 ms)
};

// clang-format off
const Cell kCells[] = {
    {"BeforeInit", nullptr, kNone},
    {"BeforeStart", [](Scene&) {}, kNone},
    {"Idle", [](Scene& s) { EXPECT_TRUE(s.host.RunUntilIdle(JobBound())); }, kNone},
    {"ChecksumStep", [](Scene& s) { s.Stall("/whole.bin", "/sums.md5", kDigest); }, kStuck},
    {"Transfer", [](Scene& s) { s.Stall("/stall.bin"); }, kStuck},
    // Resumed with a new request, then paused again while that one stalls.
    {"Paused", [](Scene& s) {
       s.Stall("/stall.bin");
       EXPECT_TRUE(s.d()->Pause(0) == kOk && s.d()->Resume() == kOk);
       EXPECT_TRUE(s.server.WaitFor([&] { return s.server.RequestCount("/stall.bin") > 1; },
                                    JobBound()));
       EXPECT_EQ(s.d()->Pause(0), kOk);
     }, kStuck},
    {"StoppedWithQueue", [](Scene& s) { s.Stall("/stall.bin"); }, kStuck | kStopFirst},
    {"AfterCompletion", [](Scene& s) {
       EXPECT_TRUE(s.Add("/whole.bin") == kOk && s.host.RunUntilIdle(JobBound()));
       EXPECT_EQ(ReadFile(s.dir / "file.bin"), s.content);
     }, kFileDone},
    // The object lives on for the reference the host still holds, and finishes its job.
    {"HostHoldsReference", [](Scene& s) {
       void* second = nullptr;
       EXPECT_EQ(s.host.getObject(&IID_ILumoDownloader, &second), kOk);
       EXPECT_TRUE(s.Add("/whole.bin") == kOk && s.d()->Start() == kOk);
       s.d()->Release();
       EXPECT_EQ(s.host.term(), kOk);
       s.host.downloader = static_cast<ILumoDownloader*>(second);
       EXPECT_TRUE(s.Completed() && ReadFile(s.dir / "file.bin") == s.content);
     }, kFileDone},
    {"HeadersHeldBack", [](Scene& s) { s.Stall("/held.bin"); }, kStuck},
    {"CdnConfigStalled", [](Scene& s) { s.Silent(Endpoint::kCdnConfig, "/whole.bin"); }, kStuck},
    // Every attempt at the URL fails: the job falls back to HTTP DNS, which says nothing.
    {"HttpDnsStalled", [](Scene& s) { s.Silent(Endpoint::kHttpDns, "/missing.bin"); }, kStuck},
    {"CollectorSilent", [](Scene& s) {
       s.Silent(Endpoint::kReport, "/whole.bin");
       EXPECT_TRUE(s.Completed());
     }, kStuck | kFileDone},
    // The part lacks its last byte, the validator beside it: one byte is fetched, then the
    // whole file hashed against a digest it does not have.
    {"FinalHash", [](Scene& s) {
       std::ofstream(s.dir / "file.bin.part").close();
       fs::resize_file(s.dir / "file.bin.part", kLargeSize - 1);
       std::ofstream(s.dir / "file.bin.part.meta") << s.server.ETagOf("/large.bin") << "\n";
       EXPECT_EQ(s.Add("/large.bin", "/large.md5", testing::Md5Hex(kManifest)), kOk);
       EXPECT_EQ(s.d()->Start(), kOk);
       std::error_code error;
       EXPECT_TRUE(s.host.PollUntil(
           [&] { return fs::file_size(s.dir / "file.bin.part", error) == kLargeSize; },
           JobBound(120)));
     }, kStuck},
    {"SlowResolver", [](Scene& s) {
       kArm(static_cast<int>(kSlowResolverDelay.count()));
       s.Stall("/stall.bin");
       EXPECT_TRUE(s.host.PollUntil([] { return SlowResolverAsleep() > 0; }, JobBound()));
     }, kStuck},
};
// clang-format on

void TerminateAt(const Cell& cell) {
  ASSERT_TRUE(HoldTheTeardownPorts());
  services::ServicesConfig config;
  const std::string local = "http://127.0.0.1:";  // the teardown copy's endpoints
  config.reportUrl = local + std::to_string(LUMO_TEARDOWN_PORT) + "/post";
  config.cdnConfigUrl = local + std::to_string(LUMO_TEARDOWN_PORT + 1) + "/cdn-domain/";
  config.httpDnsUrl = local + std::to_string(LUMO_TEARDOWN_PORT + 2) + "/?ws_domain=";
  LocalServices server{config};
  ASSERT_TRUE(server.Start());
  const std::string content = RandomBytes(512 * 1024, 17);
  Faults stall, held;
  held.stallBeforeHeaders = true;
  stall.stallAfter = 64 * 1024;
  server.AddFile("/stall.bin", content, stall);
  stall.stallAfter = 10;  // inside the short manifest
  server.AddFile("/sums.md5", std::string(kDigest) + "  stall.bin\n", stall);
  server.AddFile("/whole.bin", content);
  server.AddFile("/held.bin", content, held);
  server.AddFile("/large.md5", kManifest);
  const bool finalHash = cell.name == std::string("FinalHash");
  if (finalHash) server.AddFile("/large.bin", std::make_shared<std::string>(kLargeSize, '\0'));
  std::set<int> settled, hostThreads = ThreadIds();  // once the servers' threads have settled
  for (int i = 0; i < 40 && hostThreads != settled; ++i) {
    std::this_thread::sleep_for(50ms);
    settled = std::exchange(hostThreads, ThreadIds());
  }
  LoadedModule host(LUMO_TEARDOWN_MODULE_PATH);
  ASSERT_NE(host.init, nullptr);
  Scene scene{host, server, lumo::testing::TestDir(), content};
  if (cell.reach != nullptr) {  // else only mod_lumoterm, before any initialisation
    ASSERT_NE(host.Initialise(), nullptr);
    cell.reach(scene);
  }
  const auto took = host.Terminate(cell.flags & kStopFirst);
  EXPECT_EQ(host.term(), kOk);  // a second mod_lumoterm does nothing
  host.Unload();
  EXPECT_LT(took, cell.flags & kStuck ? kStuckBound : 100ms * kSanitizerSlowdown);
  std::error_code error;
  // A hash cut short keeps the part whole for a later session.
  EXPECT_TRUE(!finalHash || fs::file_size(scene.dir / "file.bin.part", error) == kLargeSize);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(host.PollUntil([] { return SlowResolverAsleep() == 0; }, kSlowResolverDelay + 10s));
  const auto onlyTheHosts = [&] {
    const std::set<int> ids = ThreadIds();
    return std::includes(hostThreads.begin(), hostThreads.end(), ids.begin(), ids.end());
  };
  EXPECT_TRUE(host.PollUntil(onlyTheHosts, 10s)) << ThreadIds().size() - hostThreads.size();
  EXPECT_EQ(fs::exists(scene.dir / "file.bin"), (cell.flags & kFileDone) != 0);
  server.Stop();
}

class TerminateTest : public ::testing::TestWithParam<Cell> {};

// The slow-resolver cell runs again in a new process with the resolver preloaded, after the
// sanitizer runtime when there is one (it must come first).
TEST_P(TerminateTest, AnswersPromptlyAndLeavesNothingRunning) {
  if (GetParam().name != std::string("SlowResolver") || kArm != nullptr) {
    return RunInChild([] { TerminateAt(GetParam()); });
  }
  std::string preload;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line) && preload.empty();) {
    for (const char* runtime : {"/libasan.so", "/libtsan.so"}) {
      if (line.find(runtime) != std::string::npos) preload = line.substr(line.find('/')) + ":";
    }
  }
  preload += LUMO_SLOW_RESOLVER_PATH;
  const std::string command = "LD_PRELOAD='" + preload + "' '" +
                              fs::read_symlink("/proc/self/exe").string() +
                              "' --gtest_filter='*TerminateTest*/SlowResolver'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

INSTANTIATE_TEST_SUITE_P(HostInput, TerminateTest, ::testing::ValuesIn(kCells),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo::host
