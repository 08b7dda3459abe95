// Every interface operation of the built module called with null pointers, empty and overlong
// texts, unterminated UTF-16, huge jobs and queues, from several host threads at once, and
// terminated at every stage of a job. Each call answers with its status code; nothing crashes,
// leaks (ASan build) or races (TSan build).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "local_services.h"
#include "lumo/lumo_downloader.h"
#include "platform/platform.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "teardown_ports.h"

namespace lumo::host {
namespace {

namespace fs = std::filesystem;
using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
using lumo::testing::RunInChild;

// Every interval of the module under test, divided as its build divides them.
std::chrono::milliseconds Scaled(std::chrono::milliseconds production) {
  return std::max(production / LUMO_HOST_TIME_DIVISOR, std::chrono::milliseconds(1));
}

// A fresh folder for a scenario, inside the test's own.
fs::path ScenarioDir(const std::string& name) {
  const fs::path dir = lumo::testing::TestDir() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
const LumoWChar* W(const std::u16string& text) {
  return reinterpret_cast<const LumoWChar*>(text.c_str());
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    ids.insert(std::atoi(entry.path().filename().c_str()));
  }
  return ids;
}

// The built module of this build (or the teardown copy).
struct HostedModule : lumo::testing::LoadedModule {
  explicit HostedModule(const std::string& path = LUMO_MODULE_PATH) : LoadedModule(path) {}
};

using namespace std::chrono_literals;
using services::Faults;
using services::LocalServices;
using services::ServicesConfig;

constexpr int32_t kOk = 0;
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);

// How long a job of a few small files may take: a few worker and session polls.
std::chrono::milliseconds JobBound(int polls = 30) { return Scaled(1000ms) * polls + 10s; }

void NullPointers() {
  HostedModule host;
  ASSERT_NE(host.init, nullptr);
  // Exports before any initialisation.
  EXPECT_EQ(host.term(), kOk);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(host.getObject(&IID_ILumoDownloader, &out), kNoInterface);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(host.getObject(nullptr, &out), kNoInterface);
  EXPECT_EQ(host.getObject(&IID_ILumoDownloader, nullptr), kInvalidArg);
  EXPECT_EQ(host.init(nullptr), kOk);  // no error text wanted
  EXPECT_EQ(host.getObject(nullptr, nullptr), kInvalidArg);
  EXPECT_EQ(host.getObject(nullptr, &out), kNoInterface);
  ASSERT_EQ(host.getObject(&IID_ILumoDownloader, &out), kOk);
  host.downloader = static_cast<ILumoDownloader*>(out);
  ILumoDownloader* d = host.downloader;

  EXPECT_EQ(d->QueryInterface(nullptr, &out), kNoInterface);
  EXPECT_EQ(d->QueryInterface(&IID_ILumoDownloader, nullptr), kInvalidArg);

  // A host string object without its assign function is left alone.
  EXPECT_EQ(d->SetOption(8, nullptr, 0), kOk);
  LumoString noAssign{nullptr, nullptr};
  uint32_t size = 0;
  EXPECT_EQ(d->GetOption(8, &noAssign, &size), kOk);
  EXPECT_EQ(size, 0u);

  const std::u16string dir = U16(ScenarioDir("null").string());
  const char* url = "http://127.0.0.1:9/never.bin";
  const char* urls[] = {url};
  const char* noUrls[] = {nullptr, nullptr, nullptr};
  EXPECT_EQ(d->AddDownload(nullptr, 1, W(dir), nullptr, nullptr, 0, nullptr), kInvalidArg);
  EXPECT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, noUrls, 3, nullptr), kOk);

  uint32_t state = 0, average = 0, current = 0;
  uint64_t bytes = 0;
  EXPECT_EQ(d->GetProgress(nullptr, &bytes, &average, &current, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetProgress(&state, nullptr, &average, &current, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetProgress(&state, &bytes, nullptr, &current, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetProgress(&state, &bytes, &average, nullptr, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetProgress(&state, &bytes, &average, &current, nullptr), kOk);
  EXPECT_EQ(d->GetProgress(&state, &bytes, &average, &current, &noAssign), kOk);
  EXPECT_EQ(d->GetOverallState(nullptr, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetOverallState(&state, nullptr), kOk);
  EXPECT_EQ(d->GetStatistics(nullptr), kInvalidArg);
  EXPECT_EQ(d->GetCompletedFiles(nullptr), kInvalidArg);
  EXPECT_EQ(d->GetCompletedFiles(&noAssign), kOk);
  EXPECT_EQ(d->SampleStatistics(), kOk);
  EXPECT_EQ(d->Pause(0), kOk);
  EXPECT_EQ(d->Pause(0), kAccessDenied);
  EXPECT_EQ(d->Resume(), kOk);
  EXPECT_EQ(d->ResetProgress(), kOk);
  EXPECT_LT(host.Terminate(true), Scaled(5000ms) + 5s);
  EXPECT_EQ(host.term(), kOk);
}

TEST(HostInput, NullPointersAnswerWithStatusCodes) { RunInChild(NullPointers); }

// The host's file name: subfolders inside the save folder are made and reported as written;
// anything that leads out of it, to a device or a stream, or holds a control character is
// refused before it is queued.
void HostFileNames() {
  LocalServices server;
  ASSERT_TRUE(server.Start());
  const std::string content = RandomBytes(10000, 23);
  server.AddFile("/x64/game.dll", content);
  HostedModule host;
  ILumoDownloader* d = host.Initialise();
  ASSERT_NE(d, nullptr);
  const fs::path dir = ScenarioDir("names") / "save";
  fs::create_directories(dir);
  const std::u16string dirText = U16(dir.string());
  const std::string url = server.Url("/x64/game.dll");
  const char* urls[] = {url.c_str()};
  // One of each kind; the rule's own table (unit_base) has the rest.
  const std::u16string refused[] = {
      u"../../pwned.dll", u"data\\..\\..\\pwned.dll", u"/tmp/pwned.dll", u"C:pwned.dll",
      u"game.dll::$DATA", u"a\r\nforged.dll",         u"data/nul.txt"};
  for (const std::u16string& name : refused) {
    EXPECT_EQ(d->AddDownload(urls, 1, W(dirText), W(name), nullptr, 0, nullptr), kInvalidArg);
  }
  EXPECT_EQ(host.downloader->Start(), kOk);
  // Nothing was queued: the worker goes idle without a single request.
  EXPECT_TRUE(host.PollUntil([&] { return host.RunState() == kLumoRunStateIdle; }, JobBound()));
  EXPECT_EQ(server.RequestCount(), 0u);

  // Subfolders, with either separator and any script, are made and reported as written.
  const std::u16string accepted[] = {u"data/pak01.pak", u"data\\sub\\x64\\game.dll",
                                     u"\u6570\u636E/\u540D\u524D.bin"};
  for (const std::u16string& name : accepted) {
    EXPECT_EQ(d->AddDownload(urls, 1, W(dirText), W(name), nullptr, 0, nullptr), kOk);
  }
  EXPECT_TRUE(host.RunUntilIdle(JobBound(60)));
  const std::string cjk = "\xE6\x95\xB0\xE6\x8D\xAE/\xE5\x90\x8D\xE5\x89\x8D.bin";
  const std::vector<std::string> relative = {"data/pak01.pak", "data/sub/x64/game.dll", cjk};
  std::vector<std::string> expected;
  for (const std::string& name : relative) {
    EXPECT_EQ(ReadFile(dir / fs::u8path(name)), content) << name;
    expected.push_back(dir.string() + "/" + name);
  }
  EXPECT_EQ(host.Completed(), expected);
  std::string current;
  LumoString currentText = LumoStringFor(current);
  uint32_t state = 0, average = 0, speed = 0;
  uint64_t bytes = 0;
  EXPECT_EQ(d->GetProgress(&state, &bytes, &average, &speed, &currentText), kOk);
  EXPECT_EQ(current, dir.string() + "/" + cjk);
  // Nothing landed beside the save folder.
  EXPECT_FALSE(fs::exists(dir.parent_path() / "pwned.dll"));
  EXPECT_LT(host.Terminate(true), Scaled(5000ms) + 5s);
  fs::remove_all(dir.parent_path());
}

TEST(HostInput, HostFileNamesStayInsideTheSaveFolder) { RunInChild(HostFileNames); }

void TenThousandUrls() {
  LocalServices server;
  ASSERT_TRUE(server.Start());
  const std::string content = RandomBytes(64 * 1024, 11);
  server.AddFile("/u0.bin", content);
  HostedModule host;
  ILumoDownloader* d = host.Initialise();
  ASSERT_NE(d, nullptr);
  const fs::path dir = ScenarioDir("urls");
  std::vector<std::string> texts;
  for (int i = 0; i < 10000; ++i) texts.push_back(server.Url("/u" + std::to_string(i) + ".bin"));
  std::vector<const char*> urls;
  for (const std::string& t : texts) {
    urls.push_back(t.c_str());
    urls.push_back(nullptr);  // skipped
  }
  const std::u16string dirText = U16(dir.string());
  const std::u16string name = U16("u.bin");
  EXPECT_EQ(d->AddDownload(urls.data(), static_cast<uint32_t>(urls.size()), W(dirText), W(name),
                           urls.data(), static_cast<uint32_t>(urls.size()), nullptr),
            kOk);
  EXPECT_TRUE(host.RunUntilIdle(JobBound()));
  EXPECT_EQ(ReadFile(dir / "u.bin"), content);
  EXPECT_EQ(host.Completed().size(), 1u);
  EXPECT_EQ(server.RequestCount("/u1.bin"), 0u);  // the first URL delivered

  // A job of 10 000 URLs that all fail is cut short by Stop.
  const std::u16string other = U16("missing.bin");
  std::vector<std::string> missing;
  for (int i = 0; i < 10000; ++i) missing.push_back(server.Url("/m" + std::to_string(i)));
  std::vector<const char*> missingUrls;
  for (const std::string& t : missing) missingUrls.push_back(t.c_str());
  EXPECT_EQ(d->AddDownload(missingUrls.data(), 10000, W(dirText), W(other), nullptr, 0, nullptr),
            kOk);
  const int32_t started = d->Start();  // the worker may have taken the job already
  EXPECT_TRUE(started == kOk || started == kAccessDenied) << started;
  EXPECT_TRUE(server.WaitFor([&] { return server.RequestCount("/m1") > 0; }, JobBound()));
  EXPECT_LT(host.Terminate(true), Scaled(5000ms) + 5s);
  // Nothing is fetched once the module is terminated, and the walk was cut far short.
  const size_t afterTerm = server.RequestCount();
  server.Stop();
  EXPECT_EQ(server.RequestCount(), afterTerm);
  EXPECT_LT(afterTerm, 20000u);
  fs::remove_all(dir);
}

TEST(HostInput, TenThousandUrlsInOneJob) { RunInChild(TenThousandUrls); }

void ConcurrentHostThreads() {
  LocalServices server;
  ASSERT_TRUE(server.Start());
  const std::string content = RandomBytes(256 * 1024, 13);
  server.AddFile("/c.bin", content);
  HostedModule host;
  ILumoDownloader* d = host.Initialise();
  ASSERT_NE(d, nullptr);
  const fs::path dir = ScenarioDir("threads");
  const std::string url = server.Url("/c.bin");
  const std::u16string dirText = U16(dir.string());
  ASSERT_EQ(d->Start(), kOk);

  std::atomic<bool> done{false};
  std::atomic<int> badCodes{0};
  // Every call answers kOk; Pause may find the downloader paused already.
  auto check = [&](int32_t code, int32_t alsoAllowed = kOk) {
    if (code != kOk && code != alsoAllowed) ++badCodes;
  };
  std::vector<std::string> names;
  for (const char* name : {"c0", "c1", "c2", "c3", "c4", "c5"}) names.push_back(name);
  std::vector<std::thread> threads;
  for (size_t adder = 0; adder < 2; ++adder) {
    threads.emplace_back([&, adder] {
      for (size_t i = adder; i < names.size(); i += 2) {
        const char* urls[] = {url.c_str()};
        const std::u16string name = U16(names[i]);
        check(d->AddDownload(urls, 1, W(dirText), W(name), nullptr, 0, nullptr));
        std::this_thread::yield();
      }
    });
  }
  threads.emplace_back([&] {
    while (!done) {
      uint32_t state = 0, average = 0, current = 0;
      uint64_t bytes = 0;
      std::string path, list;
      LumoString pathText = LumoStringFor(path), listText = LumoStringFor(list);
      check(d->GetProgress(&state, &bytes, &average, &current, &pathText));
      DownloadStatus status{};
      check(d->GetStatistics(&status));
      check(d->GetOverallState(&state, nullptr));
      check(d->GetCompletedFiles(&listText));
    }
  });
  threads.emplace_back([&] {
    for (uint32_t n = 0; !done; ++n) {
      const std::string sid = "sid-" + std::to_string(n);
      check(d->SetOption(8, sid.data(), static_cast<uint32_t>(sid.size())));
      check(d->SetOption(12, "game", 4));
      const uint32_t speed = 0;
      check(d->SetOption(0, &speed, 4));
      std::string back;
      LumoString backText = LumoStringFor(back);
      uint32_t size = 0;
      check(d->GetOption(8, &backText, &size));
      if (back.compare(0, 4, "sid-") != 0) ++badCodes;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 20 && !done; ++i) {
      check(d->Pause(0), kAccessDenied);
      check(d->SampleStatistics());
      check(d->Resume());
      check(d->ResetProgress());
      std::this_thread::sleep_for(Scaled(100ms));
    }
  });
  for (size_t i = 0; i < 2; ++i) threads[i].join();
  // Every job is queued now; let them all finish while the others keep calling.
  EXPECT_EQ(d->Resume(), kOk);
  const bool finished = host.PollUntil(
      [&] {
        for (const std::string& name : names) {
          std::error_code error;
          if (fs::file_size(dir / name, error) != content.size()) return false;
        }
        return true;
      },
      JobBound(60));
  done = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(badCodes.load(), 0);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(dir / name), content) << name;
  EXPECT_LT(host.Terminate(true), Scaled(5000ms) + 5s);
  fs::remove_all(dir);
}

TEST(HostInput, CallsFromSeveralHostThreadsAtOnce) { RunInChild(ConcurrentHostThreads); }

// Teardown at every stage of a job, whatever is stuck: Release and mod_lumoterm answer within
// the destruction bound, the host unloads the library, the process lives on, only the host's
// own threads are left once the calls that no quit can interrupt have returned, no half file
// lies under the final name, and a second mod_lumoterm does nothing. The teardown copy of the
// module is used, so that its collector, CDN configuration and HTTP DNS can be made to stall.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 5;
#else
constexpr int kSanitizerSlowdown = 1;
#endif
constexpr auto kSlowResolverDelay = 8000ms;

// The slow resolver of the slow-resolver cell, when it is preloaded into this process.
void (*SlowResolverArm())(int) {
  return reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "lumo_slow_resolver_arm"));
}
int SlowResolverAsleep() {
  auto asleep = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "lumo_slow_resolver_asleep"));
  return asleep != nullptr ? asleep() : 0;
}

// Holds the teardown copy's fixed ports for this process, against other runs on this machine:
// a name in the abstract socket namespace that one process at a time can bind (the ports
// themselves cannot tell, as the test servers share them with SO_REUSEPORT).
class PortsLock {
 public:
  PortsLock() {
    static const char kName[] = "lumo-teardown-ports";
    const auto deadline = std::chrono::steady_clock::now() + 200s;
    do {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
      const socklen_t length = offsetof(sockaddr_un, sun_path) + sizeof kName;
      if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0) return;
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
  }
  ~PortsLock() {
    if (fd_ >= 0) close(fd_);
  }
  PortsLock(const PortsLock&) = delete;
  PortsLock& operator=(const PortsLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The teardown copy's outside world: files on any port, its three endpoints on their fixed
// ports.
struct TeardownServices {
  static ServicesConfig Config() {
    const std::string host = "http://127.0.0.1:";
    ServicesConfig config;
    config.reportUrl = host + std::to_string(kCollectorPort) + "/post";
    config.cdnConfigUrl = host + std::to_string(kCdnConfigPort) + "/cdn-domain/";
    config.httpDnsUrl = host + std::to_string(kHttpDnsPort) + "/?ws_domain=";
    return config;
  }

  PortsLock lock;
  LocalServices server{Config()};

  bool Start() { return lock.held() && server.Start(); }
  void Stop() { server.Stop(); }
};

// The threads of this process once they have stopped coming and going.
std::set<int> SettledThreadIds() {
  std::set<int> ids = ThreadIds();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(50ms);
    std::set<int> again = ThreadIds();
    if (again == ids) break;
    ids = again;
  }
  return ids;
}

constexpr size_t kLargeSize = 384u << 20;
constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";
const std::string kManifest = std::string(kDigest) + "  file.bin\n";

// A cell's module, server and save folder, and what the cells do with them.
struct Scene {
  HostedModule& host;
  LocalServices& server;
  fs::path dir;
  std::string content;

  ILumoDownloader* d() { return host.downloader; }
  int32_t Add(const std::string& path, const std::string& sums = "", const char* md5 = nullptr) {
    const std::string url = server.Url(path), sumsUrl = server.Url(sums);
    const char* urls[] = {url.c_str()};
    const char* sumsUrls[] = {sumsUrl.c_str()};
    const std::u16string dirText = U16(dir.string()), name = U16("file.bin");
    return d()->AddDownload(urls, 1, W(dirText), W(name), sums.empty() ? nullptr : sumsUrls,
                            sums.empty() ? 0 : 1, md5);
  }
  // Queues path and starts; returns once the server holds a request stalled.
  void Stall(const std::string& path, const std::string& sums = "", const char* md5 = nullptr) {
    EXPECT_EQ(Add(path, sums, md5), kOk);
    EXPECT_EQ(d()->Start(), kOk);
    EXPECT_TRUE(server.WaitForStall(JobBound()));
  }
  void Silent(LocalServices::Endpoint endpoint, const std::string& path) {
    server.SetSilent(endpoint, true);
    Stall(path);
  }
  bool Completed() {
    return host.PollUntil([&] { return host.Completed().size() == 1; }, JobBound());
  }
};

struct Cell {
  const char* name;
  void (*reach)(Scene&);  // brings the module to the stage
  bool stuck;             // something hangs: the 5 s bound, else 100 ms
  bool fileDone;          // the job ended with the file in place
  bool stopFirst;
};

using Endpoint = LocalServices::Endpoint;
const Cell kCells[] = {
    {"BeforeInit", nullptr, false, false, false},
    {"BeforeStart", [](Scene&) {}, false, false, false},
    {"Idle", [](Scene& s) { EXPECT_TRUE(s.host.RunUntilIdle(JobBound())); }, false, false, false},
    {"ChecksumStep", [](Scene& s) { s.Stall("/whole.bin", "/sums.md5", kDigest); }, true, false,
     false},
    {"Transfer", [](Scene& s) { s.Stall("/stall.bin"); }, true, false, false},
    // Resume goes on from the part with a new request; then it is paused while that one stalls.
    {"Paused",
     [](Scene& s) {
       s.Stall("/stall.bin");
       EXPECT_EQ(s.d()->Pause(0), kOk);
       EXPECT_EQ(s.d()->Resume(), kOk);
       EXPECT_TRUE(
           s.server.WaitFor([&] { return s.server.RequestCount("/stall.bin") >= 2; }, JobBound()));
       EXPECT_EQ(s.d()->Pause(0), kOk);
     },
     true, false, false},
    {"StoppedWithQueue", [](Scene& s) { s.Stall("/stall.bin"); }, true, false, true},
    {"AfterCompletion",
     [](Scene& s) {
       EXPECT_EQ(s.Add("/whole.bin"), kOk);
       EXPECT_TRUE(s.host.RunUntilIdle(JobBound()));
       EXPECT_EQ(ReadFile(s.dir / "file.bin"), s.content);
     },
     false, true, false},
    // The object lives on for the reference the host still holds, and finishes its job.
    {"HostHoldsReference",
     [](Scene& s) {
       void* second = nullptr;
       EXPECT_EQ(s.host.getObject(&IID_ILumoDownloader, &second), kOk);
       EXPECT_EQ(s.Add("/whole.bin"), kOk);
       EXPECT_EQ(s.d()->Start(), kOk);
       s.d()->Release();
       EXPECT_EQ(s.host.term(), kOk);
       s.host.downloader = static_cast<ILumoDownloader*>(second);
       EXPECT_TRUE(s.Completed());
       EXPECT_EQ(ReadFile(s.dir / "file.bin"), s.content);
     },
     false, true, false},
    {"HeadersHeldBack", [](Scene& s) { s.Stall("/held.bin"); }, true, false, false},
    {"CdnConfigStalled", [](Scene& s) { s.Silent(Endpoint::kCdnConfig, "/whole.bin"); }, true,
     false, false},
    // Every attempt at the URL fails: the job falls back to HTTP DNS, which says nothing.
    {"HttpDnsStalled", [](Scene& s) { s.Silent(Endpoint::kHttpDns, "/missing.bin"); }, true, false,
     false},
    {"CollectorSilent",
     [](Scene& s) {
       s.Silent(Endpoint::kReport, "/whole.bin");
       EXPECT_TRUE(s.Completed());
     },
     true, true, false},
    // The part lacks its last byte, the validator beside it: one byte is fetched, then the
    // whole file hashed against a digest it does not have (a hash run to its end discards it).
    {"FinalHash",
     [](Scene& s) {
       std::ofstream(s.dir / "file.bin.part").close();
       fs::resize_file(s.dir / "file.bin.part", kLargeSize - 1);
       std::ofstream(s.dir / "file.bin.part.meta") << s.server.ETagOf("/large.bin") << "\n";
       const std::string md5 = testing::Md5Hex(kManifest);
       EXPECT_EQ(s.Add("/large.bin", "/large.md5", md5.c_str()), kOk);
       EXPECT_EQ(s.d()->Start(), kOk);
       std::error_code error;
       EXPECT_TRUE(s.host.PollUntil(
           [&] { return fs::file_size(s.dir / "file.bin.part", error) == kLargeSize; },
           JobBound(120)));
     },
     true, false, false},
    {"SlowResolver",
     [](Scene& s) {
       SlowResolverArm()(static_cast<int>(kSlowResolverDelay.count()));
       s.Stall("/stall.bin");
       EXPECT_TRUE(s.host.PollUntil([] { return SlowResolverAsleep() > 0; }, JobBound()));
     },
     true, false, false},
};

void TerminateAt(const Cell& cell) {
  TeardownServices services;
  ASSERT_TRUE(services.Start());
  LocalServices& server = services.server;
  const std::string content = RandomBytes(512 * 1024, 17);
  Faults stall, stallEarly, holdHeaders;
  stall.stallAfter = 64 * 1024;
  stallEarly.stallAfter = 10;  // inside the short manifest
  holdHeaders.stallBeforeHeaders = true;
  server.AddFile("/stall.bin", content, stall);
  server.AddFile("/whole.bin", content);
  server.AddFile("/sums.md5", std::string(kDigest) + "  stall.bin\n", stallEarly);
  server.AddFile("/held.bin", content, holdHeaders);
  server.AddFile("/large.md5", kManifest);
  if (cell.name == std::string("FinalHash")) {
    server.AddFile("/large.bin", std::make_shared<const std::string>(kLargeSize, '\0'));
  }

  const std::set<int> hostThreads = SettledThreadIds();
  HostedModule host(LUMO_TEARDOWN_MODULE_PATH);
  ASSERT_NE(host.init, nullptr);
  Scene scene{host, server, ScenarioDir("term"), content};
  const fs::path& dir = scene.dir;
  if (cell.reach == nullptr) {
    EXPECT_EQ(host.term(), kOk);
  } else {
    ASSERT_NE(host.Initialise(), nullptr);
    cell.reach(scene);
  }

  const auto took = host.Terminate(cell.stopFirst);
  EXPECT_EQ(host.term(), kOk);
  host.Unload();
  std::printf("[teardown] %s: release + mod_lumoterm took %lld ms\n", cell.name,
              static_cast<long long>(took.count()));
  std::fflush(stdout);
  // 5 s whatever is stuck; 100 ms when nothing is (longer with sanitizers).
  EXPECT_LT(took, cell.stuck ? Scaled(5000ms) : 100ms * kSanitizerSlowdown);
  if (cell.name == std::string("FinalHash")) {
    // The hash was cut short: the part is kept whole for a later session, nothing renamed.
    std::error_code error;
    EXPECT_EQ(fs::file_size(dir / "file.bin.part", error), kLargeSize);
  }

  // Alive after the unload, and once the calls nobody can interrupt have returned, only the
  // host's threads are left.
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(host.PollUntil([] { return SlowResolverAsleep() == 0; }, kSlowResolverDelay + 10s));
  EXPECT_TRUE(host.PollUntil(
      [&] {
        for (int id : ThreadIds()) {
          if (hostThreads.count(id) == 0) return false;
        }
        return true;
      },
      10s))
      << ThreadIds().size() - hostThreads.size() << " threads more than the host's";
  EXPECT_EQ(fs::exists(dir / "file.bin"), cell.fileDone);
  services.Stop();
  fs::remove_all(dir);
}

// Runs this test again in a new process with the slow resolver preloaded, after the sanitizer
// runtime when there is one (it must come first).
void RerunWithSlowResolver() {
  std::string preload;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line) && preload.empty();) {
    for (const char* runtime : {"/libasan.so", "/libtsan.so"}) {
      const size_t at = line.find(runtime);
      if (at != std::string::npos) preload = line.substr(line.find('/')) + ":";
    }
  }
  preload += LUMO_SLOW_RESOLVER_PATH;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execl("/proc/self/exe", "integration_host_input", filter.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

class TerminateTest : public ::testing::TestWithParam<Cell> {};

TEST_P(TerminateTest, AnswersPromptlyAndLeavesNothingRunning) {
  if (GetParam().name == std::string("SlowResolver") && SlowResolverArm() == nullptr) {
    RerunWithSlowResolver();
    return;
  }
  RunInChild([] { TerminateAt(GetParam()); });
}

INSTANTIATE_TEST_SUITE_P(HostInput, TerminateTest, ::testing::ValuesIn(kCells),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace lumo::host
