// The engine against the web servers mirrors really run: nginx and lighttpd from the system,
// started here on loopback ports with the test's own configuration. Whole files, resumes after
// an abort, a file changed between two runs, a part that already holds everything; and from
// nginx a file sent compressed unasked, a certificate nobody signed and redirects over TLS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <thread>

#include "engine_test_support.h"
#include "platform/platform.h"
#include "transport/transport.h"

extern char** environ;

namespace zdl {
namespace testing {
namespace {

using namespace std::chrono_literals;
using lumo::services::Faults;
using lumo::services::LocalServices;

constexpr size_t kFileBytes = 2 << 20;

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

std::string Which(const std::string& program) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    if (::access((dir + program).c_str(), X_OK) == 0) return dir + program;
  }
  return std::string();
}

// One server process of the test's own, ended with the test.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }
  bool Start(const std::vector<std::string>& command, int port) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    for (auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < 10s; std::this_thread::sleep_for(20ms)) {
      if (Accepts(port)) return true;
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

struct RealServer {
  const char* name;
  bool validators;  // must send ETag or Last-Modified (lighttpd here sends neither)
};

class RealServerFixture : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    www_ = dir_ / "www";
    fs::create_directories(www_ / "gz");
    data_ = RandomBytes(kFileBytes, 61);
    std::ofstream(www_ / "f.bin", std::ios::binary) << data_;
    Age(www_ / "f.bin");
  }
  void TearDown() override {
    server_.Stop();
    EngineTest::TearDown();
  }

  // An mtime well in the past: servers keep back validators of files changed this second.
  static void Age(const fs::path& path) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24));
  }

  // Starts the server of this row; false (with the test skipped) when it is not installed.
  bool StartServer() {
    const std::string name = kind_.name;
    const std::string binary = Which(name);
    if (binary.empty()) return false;
    port_ = FreeLoopbackPort();
    const std::string d = dir_.string();
    std::vector<std::string> command;
    if (name == "nginx") {
      tlsPort_ = FreeLoopbackPort();
      tls_ = std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                          d + "/key.pem -out " + d + "/cert.pem >/dev/null 2>&1")
                             .c_str()) == 0;
      std::ofstream(dir_ / "nginx.conf")
          << "daemon off; master_process off; pid " << d << "/nginx.pid;\n"
          << "error_log " << d << "/error.log;\nevents { worker_connections 64; }\n"
          << "http {\n access_log off;\n"
          << " client_body_temp_path " << d << "/t1; proxy_temp_path " << d << "/t2;\n"
          << " fastcgi_temp_path " << d << "/t3; uwsgi_temp_path " << d << "/t4;\n"
          << " scgi_temp_path " << d << "/t5;\n"
          << " server { listen 127.0.0.1:" << port_ << "; root " << d << "/www;\n"
          << "  location /gz/ { gzip_static always; }\n"
          << "  location /slow/ { limit_rate 2m; } }\n";
      if (tls_) {
        std::ofstream(dir_ / "nginx.conf", std::ios::app)
            << " server { listen 127.0.0.1:" << tlsPort_ << " ssl; root " << d << "/www;\n"
            << "  ssl_certificate " << d << "/cert.pem; ssl_certificate_key " << d << "/key.pem;\n"
            << "  location = /down { return 302 http://127.0.0.1:" << port_ << "/f.bin; }\n"
            << "  location = /up { return 302 https://127.0.0.1:" << tlsPort_ << "/f.bin; } }\n";
      }
      std::ofstream(dir_ / "nginx.conf", std::ios::app) << "}\n";
      command = {binary, "-p", d, "-c", d + "/nginx.conf"};
    } else {
      std::ofstream(dir_ / "lighttpd.conf")
          << "server.document-root = \"" << d << "/www\"\nserver.bind = \"127.0.0.1\"\n"
          << "server.port = " << port_ << "\nserver.errorlog = \"" << d << "/error.log\"\n"
          << "server.pid-file = \"" << d << "/lighttpd.pid\"\n"
          << "server.modules = (\"mod_staticfile\")\n";
      command = {binary, "-D", "-f", d + "/lighttpd.conf"};
    }
    return server_.Start(command, port_);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // A run cut short by Abort once some data is in, as a user pausing a download.
  void AbortedRun() {
    IZDownloadSession* session = NewSession(Url("/f.bin"), dir_, "f.bin");
    ASSERT_NE(session, nullptr);
    uint32_t speed = 512 * 1024;
    ASSERT_EQ(session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed), kZdlOk);
    ASSERT_EQ(session->Start(), kZdlOk);
    uint64_t downloaded = 0;
    for (auto start = std::chrono::steady_clock::now();
         downloaded < 300 * 1024 && std::chrono::steady_clock::now() - start < 10s;
         std::this_thread::sleep_for(10ms)) {
      session->GetStatus(nullptr, nullptr, &downloaded, nullptr, nullptr);
    }
    session->Abort();
    EXPECT_EQ(WaitForEnd(session).result, kZdlResultAborted);
    session->Release();
    ASSERT_TRUE(fs::exists(dir_ / "f.bin.part"));
    EXPECT_GT(fs::file_size(dir_ / "f.bin.part"), 0u);
  }

  RealServer kind_{"nginx", true};
  fs::path www_;
  std::string data_;
  int port_ = 0;
  int tlsPort_ = 0;
  bool tls_ = false;
  ServerProcess server_;
};

class RealServersTest : public RealServerFixture, public ::testing::WithParamInterface<RealServer> {
 protected:
  void SetUp() override {
    kind_ = GetParam();
    RealServerFixture::SetUp();
  }
};

// What only nginx is asked: a compressed file sent whatever the client said, and TLS.
using NginxTest = RealServerFixture;

#define START_OR_SKIP()                                                                \
  if (!StartServer()) {                                                                \
    GTEST_SKIP() << "\n*** " << kind_.name << " NOT TESTED: not installed or did not " \
                 << "start (scripts/install-deps installs it)";                        \
  }

TEST_P(RealServersTest, ResumeAfterAbort) {
  START_OR_SKIP();
  AbortedRun();
  const bool validated = fs::exists(dir_ / "f.bin.part.meta");
  EXPECT_TRUE(validated || !kind_.validators);
  SessionEnd end = Download(Url("/f.bin"), dir_, "f.bin");
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(dir_ / "f.bin") == data_);
  // Without a validator nothing proves the part is this file: it starts over (a whole download).
  if (validated) {
    EXPECT_GT(end.info.resumedFrom, 0u);
  } else {
    EXPECT_EQ(end.info.resumedFrom, 0u);
  }
}

TEST_P(RealServersTest, FileChangedBetweenRuns) {
  START_OR_SKIP();
  AbortedRun();
  const std::string changed = RandomBytes(kFileBytes, 62);
  std::ofstream(www_ / "f.bin", std::ios::binary | std::ios::trunc) << changed;
  fs::last_write_time(www_ / "f.bin", fs::file_time_type::clock::now() - std::chrono::hours(2));
  SessionEnd end = Download(Url("/f.bin"), dir_, "f.bin");
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(end.info.resumedFrom, 0u);
  EXPECT_TRUE(ReadFile(dir_ / "f.bin") == changed) << "parts of two versions spliced";
}

TEST_P(RealServersTest, PartAlreadyWhole) {
  START_OR_SKIP();
  AbortedRun();
  const bool validated = fs::exists(dir_ / "f.bin.part.meta");
  const uint64_t have = fs::file_size(dir_ / "f.bin.part");
  std::ofstream(dir_ / "f.bin.part", std::ios::binary | std::ios::app) << data_.substr(have);
  SessionEnd end = Download(Url("/f.bin"), dir_, "f.bin");
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(dir_ / "f.bin") == data_);
  // Proven whole (416, then the last byte with its validator), not fetched again.
  EXPECT_EQ(end.info.resumedFrom, validated ? kFileBytes : 0u);
}

TEST_F(NginxTest, CompressedUnaskedIsRefused) {
  START_OR_SKIP();
  std::ofstream(www_ / "gz" / "f.bin", std::ios::binary) << data_;
  ASSERT_EQ(std::system(("gzip -k " + (www_ / "gz" / "f.bin").string()).c_str()), 0);
  SessionEnd end = Download(Url("/gz/f.bin"), dir_, "f.bin");
  EXPECT_EQ(end.result, kZdlResultServer);
  EXPECT_FALSE(fs::exists(dir_ / "f.bin"));
  EXPECT_FALSE(fs::exists(dir_ / "f.bin.part"));
}

TEST_F(NginxTest, UnsignedCertificateSaysWhy) {
  START_OR_SKIP();
  if (!tls_) GTEST_SKIP() << "\n*** TLS NOT TESTED: no openssl to make a certificate";
  SessionEnd end =
      Download("https://127.0.0.1:" + std::to_string(tlsPort_) + "/f.bin", dir_, "f.bin");
  EXPECT_EQ(end.result, kZdlResultNetwork);
  EXPECT_EQ(end.detail.rfind("certificate verification failed: ", 0), 0u) << end.detail;
  EXPECT_GT(end.detail.size(), std::string("certificate verification failed: ").size());
}

// Over TLS with the test's certificate trusted: a redirect to https is followed, one down to
// plain http is not.
TEST_F(NginxTest, NoRedirectFromHttpsToHttp) {
  START_OR_SKIP();
  if (!tls_) GTEST_SKIP() << "\n*** TLS NOT TESTED: no openssl to make a certificate";
  struct Counter : TransferObserver {
    uint32_t status = 0;
    uint64_t bytes = 0;
    bool OnResponse(const ResponseHead& head) override {
      status = head.status;
      return true;
    }
    bool OnData(const void*, size_t length) override {
      bytes += length;
      return true;
    }
  };
  for (const char* path : {"/up", "/down"}) {
    std::unique_ptr<Transport> transport = CreateTransport();
    TransferRequest request;
    request.url = "https://127.0.0.1:" + std::to_string(tlsPort_) + path;
    request.caFile = (dir_ / "cert.pem").string();
    Counter counter;
    TransferOutcome outcome = transport->Perform(request, counter);
    if (std::string(path) == "/up") {
      EXPECT_EQ(outcome.end, TransferEnd::kCompleted);
      EXPECT_EQ(counter.status, 200u);
      EXPECT_EQ(counter.bytes, kFileBytes);
    } else {
      EXPECT_EQ(outcome.end, TransferEnd::kFailed) << "followed https -> http";
      EXPECT_EQ(outcome.failure.result, kZdlResultServer);
      EXPECT_EQ(counter.bytes, 0u);
    }
  }
}

// Files fetched over several connections: against the fault server, whose per-connection rate
// makes more connections pay, and nginx capping each connection. Every row ends with the file's
// MD5 checked.
struct SegmentCase {
  const char* name;
  bool nginx;
  uint32_t maxSpeed;  // engine option 0
  // When the row's event happens: after this share of the file has arrived (0: never).
  double at;
  enum Event { kNone, kAbort, kStopRanges, kChangeFile, kRefuseMore, kDropSegments } event;
  int minConnections;  // ranged requests the server saw at least
  size_t maxRequests;
  bool restartsFromZero;
  std::chrono::milliseconds atLeast;  // the whole transfer took at least this
};

constexpr size_t kSegmentedBytes = 8 << 20;

class SegmentedTest : public RealServerFixture, public ::testing::WithParamInterface<SegmentCase> {
 protected:
  std::string Md5Of(const std::string& bytes) {
    lumo::platform::Md5Digest md5;
    md5.Update(bytes.data(), bytes.size());
    return lumo::platform::DigestHex(md5.Finish());
  }
  // Runs one session; `event` is called once when `share` of the file has arrived.
  SessionEnd Run(const std::string& url, uint32_t maxSpeed, double share,
                 const std::function<bool(IZDownloadSession*)>& event) {
    IZDownloadSession* session = NewSession(url, dir_, "s.bin");
    EXPECT_NE(session, nullptr);
    if (session == nullptr) return SessionEnd();
    if (maxSpeed) session->SetOption(kZdlOptionMaxSpeed, &maxSpeed, sizeof maxSpeed);
    EXPECT_EQ(session->Start(), kZdlOk);
    bool fired = share <= 0;
    for (int32_t status = 0; !fired && status != kZdlStatusDownloaded && status != kZdlStatusError;
         std::this_thread::sleep_for(5ms)) {
      uint64_t total = 0, downloaded = 0;
      session->GetStatus(&status, &total, &downloaded, nullptr, nullptr);
      if (total > 0 && downloaded >= share * static_cast<double>(total)) {
        fired = true;
        if (event(session)) break;
      }
    }
    SessionEnd end = WaitForEnd(session);
    session->Release();
    return end;
  }
};

TEST_P(SegmentedTest, FileArrivesWhole) {
  const SegmentCase& row = GetParam();
  LocalServices& faults = EngineTest::server_;
  std::string content = RandomBytes(kSegmentedBytes, 71);
  std::string url;
  Faults slow;
  slow.rate = 2 << 20;  // per connection, as a capped mirror
  if (row.nginx) {
    fs::create_directories(www_ / "slow");
    std::ofstream(www_ / "slow" / "s.bin", std::ios::binary) << content;
    Age(www_ / "slow" / "s.bin");
    if (!StartServer()) GTEST_SKIP() << "\n*** nginx NOT TESTED: not installed or did not start";
    url = Url("/slow/s.bin");
  } else {
    if (row.event == SegmentCase::kDropSegments) {
      for (uint64_t at = 1; at < 8; ++at) slow.dropAt.push_back(at * kSegmentedBytes / 8 + 4096);
    }
    faults.AddFile("/s.bin", content, slow);
    url = faults.Url("/s.bin");
  }
  const std::string original = content;
  auto event = [&](IZDownloadSession* session) {
    if (row.event != SegmentCase::kAbort) return false;
    session->Abort();
    return true;
  };
  const bool serverSide = row.event == SegmentCase::kRefuseMore ||
                          row.event == SegmentCase::kStopRanges ||
                          row.event == SegmentCase::kChangeFile;
  std::atomic<size_t> changedAt{SIZE_MAX};  // requests the server had seen before the change
  if (serverSide) {
    // The server changes once the first answer's body flows: that answer keeps what it began
    // with, every later request (an extra connection) meets the change.
    std::thread change([&] {
      faults.WaitFor(
          [&] {
            const auto requests = faults.Requests("/s.bin");
            return !requests.empty() && requests[0].bytesSent > 0;
          },
          10s);
      Faults changed = slow;
      if (row.event == SegmentCase::kRefuseMore) {
        changed.status = 503;
        changed.times = 1;
        faults.SetFaults("/s.bin", changed);
      } else if (row.event == SegmentCase::kStopRanges) {
        changed.ignoreRange = true;
        faults.SetFaults("/s.bin", changed);
      } else {
        content = RandomBytes(kSegmentedBytes, 72);
        faults.AddFile("/s.bin", content, slow);
      }
      changedAt = faults.Requests("/s.bin").size();
    });
    SessionEnd first = Run(url, row.maxSpeed, 0, event);
    change.join();
    EXPECT_EQ(first.result, kZdlResultSuccess);
  } else {
    SessionEnd first = Run(url, row.maxSpeed, row.at, event);
    if (row.event == SegmentCase::kAbort) {
      ASSERT_EQ(first.result, kZdlResultAborted);
      ASSERT_TRUE(fs::exists(dir_ / "s.bin.part.meta"));
      // The resumed run continues every segment where it stood.
      SessionEnd second = Run(url, row.maxSpeed, 0, event);
      EXPECT_EQ(second.result, kZdlResultSuccess);
      EXPECT_GE(second.info.resumedFrom, static_cast<uint64_t>(row.at * kSegmentedBytes * 0.9));
      EXPECT_LT(faults.BytesServed("/s.bin"), kSegmentedBytes * 5 / 4);
    } else {
      EXPECT_EQ(first.result, kZdlResultSuccess);
      EXPECT_GE(first.took, row.atLeast);
      EXPECT_GE(first.info.elapsedMs, static_cast<uint64_t>(row.atLeast.count()));
      if (row.nginx) {
        // 8 MiB at 2 MiB/s per connection takes 3 s on one (nginx lets a second's worth out
        // at once).
        EXPECT_LT(first.took, 2s);
      }
    }
  }
  ASSERT_TRUE(fs::exists(dir_ / "s.bin"));
  const std::string arrived = Md5Of(ReadFile(dir_ / "s.bin"));
  EXPECT_FALSE(fs::exists(dir_ / "s.bin.part.meta"));
  if (row.nginx) {
    EXPECT_EQ(arrived, Md5Of(content));
  } else {
    int ranged = 0;
    bool fromZero = false;
    const auto requests = faults.Requests("/s.bin");
    for (size_t i = 0; i < requests.size(); ++i) {
      const std::string range = requests[i].Header("Range");
      if (range.find('-') + 1 < range.size()) ++ranged;
      if (range.empty() && i > 0) fromZero = true;
    }
    // Never a splice: the old file whole while every connection began before the change, the
    // new one whole after a restart, which a request made after the change forces.
    EXPECT_EQ(arrived, Md5Of(fromZero ? content : original));
    if (row.restartsFromZero) {
      EXPECT_TRUE(fromZero || requests.size() <= changedAt);
    } else {
      EXPECT_FALSE(fromZero);
    }
    EXPECT_GE(ranged, row.minConnections);
    // A slow host may let the first step happen before the server changes: then the refused
    // request belongs to the second step, which is bounded by the cap alone.
    EXPECT_LE(requests.size(),
              changedAt <= 1 ? row.maxRequests : std::max<size_t>(row.maxRequests, 16));
  }
}

using Seg = SegmentCase;
const SegmentCase kSegmentCases[] = {
    {"CappedConnectionsClimb", false, 0, 0, Seg::kNone, 3, 64, false, 0ms},
    {"InterruptedEarly", false, 0, 0.2, Seg::kAbort, 3, 64, false, 0ms},
    {"InterruptedLate", false, 0, 0.7, Seg::kAbort, 3, 64, false, 0ms},
    {"SegmentsDropped", false, 0, 0, Seg::kDropSegments, 3, 64, false, 0ms},
    // The server changes while the first answer flows: the next connection's answer shows it.
    {"RangesStopMidway", false, 0, 0, Seg::kStopRanges, 1, 64, true, 0ms},
    {"FileChangesMidway", false, 0, 0, Seg::kChangeFile, 1, 64, true, 0ms},
    // The first step opens three at once; one is refused and no step follows (16 otherwise; a
    // few more requests are pieces taken over from slow connections).
    {"ExtraConnectionsRefused", false, 0, 0, Seg::kRefuseMore, 1, 10, false, 0ms},
    // 8 MiB at 3 MiB/s for the whole file, whatever the connections: at least 2.6 s.
    {"SpeedLimitCoversAllSegments", false, 3 << 20, 0, Seg::kNone, 2, 64, false, 2400ms},
    {"NginxLimitRate", true, 0, 0, Seg::kNone, 0, 0, false, 0ms},
};

INSTANTIATE_TEST_SUITE_P(Rows, SegmentedTest, ::testing::ValuesIn(kSegmentCases),
                         [](const ::testing::TestParamInfo<SegmentCase>& info) {
                           return std::string(info.param.name);
                         });

INSTANTIATE_TEST_SUITE_P(Servers, RealServersTest,
                         ::testing::Values(RealServer{"nginx", true},
                                           RealServer{"lighttpd", false}),
                         [](const ::testing::TestParamInfo<RealServer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace testing
}  // namespace zdl
