// The built libraries end to end (the end-to-end build, every interval divided), loaded by file
// name as a host loads them, against the local services on that build's endpoints: one pass over
// every path a job may take and every event type the collector gets, and lumoget as a user runs
// it. Each scenario runs in a child process of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>

#include "form_body.h"
#include "local_services.h"
#include "support/loaded_module.h"
#include "support/scratch.h"

namespace lumo::e2e {
namespace {

namespace fs = std::filesystem;
using lumo::testing::Md5Hex;
using lumo::testing::ReadFile;
using lumo::testing::RunInChild;
using lumo::testing::TestDir;
using services::FormValue;
constexpr auto kJobBound = std::chrono::seconds(60);

bool Same(const fs::path& actual, const fs::path& expected) {
  return fs::exists(actual) && ReadFile(actual) == ReadFile(expected);
}
void WriteRandomFile(const fs::path& path, size_t size, uint64_t seed) {
  lumo::testing::WriteFile(path, lumo::testing::RandomBytes(size, seed));
}

// Files served from files/, downloads into downloads/. URLs rewritten to the address HTTP DNS
// answers carry no port, so the file server also listens on 127.0.0.1:80 when it can (root).
struct Scene {
  fs::path files = TestDir() / "files", downloads = TestDir() / "downloads";
  std::unique_ptr<services::LocalServices> services;
  std::string base;  // http://127.0.0.1:<port>
  explicit Scene(services::ServicesConfig config = {}) {
    fs::create_directories(files), fs::create_directories(downloads);
    config.filesRoot = files.string();
    config.resolvedPort = 80;
    config.reportUrl = LUMO_E2E_REPORT_URL;
    config.cdnConfigUrl = LUMO_E2E_CDN_URL;
    config.httpDnsUrl = LUMO_E2E_DNS_URL;
    config.cdnHost = LUMO_E2E_CDN_HOST;
    config.log = [](const std::string& line) { std::cout << "  services: " << line << std::endl; };
    services = std::make_unique<services::LocalServices>(config);
    std::string error;
    if (services->Start(&error)) base = services->Url();
    EXPECT_EQ(error, "") << "local services";
  }
};

// Text the host sets: a space, a slash, a plus and a two-byte UTF-8 letter all need escaping.
const char kSid[] = "e2e sid/1+\xC3\xBC";
const char kGame[] = "g1";

// Every event is encoded by the form rules: sorted keys, unreserved bytes kept, %XX else.
void CheckCommonRules(const std::string& type, const std::string& body) {
  SCOPED_TRACE(type + ": " + body);
  services::FormPairs pairs;
  ASSERT_TRUE(services::ParseForm(body, pairs));
  EXPECT_EQ(services::EncodeForm(pairs), body);  // the same bytes again
  std::vector<std::string> keys;
  for (const auto& pair : pairs) keys.push_back(pair.first);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()) &&
              std::adjacent_find(keys.begin(), keys.end()) == keys.end());
  EXPECT_EQ(FormValue(pairs, "eventType"), type);
  EXPECT_TRUE(std::regex_match(FormValue(pairs, "currentTime"),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")));
  EXPECT_TRUE(FormValue(pairs, "sid") == kSid && FormValue(pairs, "gameCode") == kGame);
  EXPECT_NE(body.find("sid=e2e%20sid%2F1%2B%C3%BC"), std::string::npos);
}

// Checksum file first, the preferred CDN's mirror only, a host resolved by HTTP DNS, a missing
// file; the paths GetCompletedFiles and the per-file results give, and nothing else written.
TEST(DownloadE2E, EveryPathOfAJobAndEveryEventTypeTheCollectorGets) {
  RunInChild([] {
    services::ServicesConfig config;
    config.preferredDomains[kGame] = "cdn-b.lumo.test";
    Scene scene(config);
    const fs::path &files = scene.files, &downloads = scene.downloads;
    auto& services = *scene.services;
    const std::string& base = scene.base;
    ASSERT_NE(base, "");
    if (!services.resolvedPortListening()) {
      std::cout << "\n*** SCENARIO NOT RUN: port 80 is taken or needs root ***\n" << std::endl;
      GTEST_SKIP() << "needs 127.0.0.1:80 for the addresses HTTP DNS answers";
    }
    WriteRandomFile(files / "data.bin", 512 * 1024 + 3, 11);
    WriteRandomFile(files / "game" / "patch.bin", 256 * 1024, 12);
    std::ofstream(files / "sums.md5") << Md5Hex(ReadFile(files / "data.bin")) << "  data.bin\n";

    lumo::testing::LoadedModule module(LUMO_E2E_BIN_DIR "/liblumodownload.so");
    ILumoDownloader* d = module.Initialise();
    ASSERT_NE(d, nullptr);
    const std::pair<int32_t, std::string> texts[] = {
        {kLumoOptionSid, kSid}, {kLumoOptionGameCode, kGame}, {kLumoOptionClientVersion, "1.0"}};
    for (const auto& [id, text] : texts)
      EXPECT_EQ(d->SetOption(id, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(lumo::testing::AddJob(
                  d, {base + "/m/cdn-a.lumo.test/data.bin", base + "/m/cdn-b.lumo.test/data.bin"},
                  downloads, "", {base + "/sums.md5"}, Md5Hex(ReadFile(files / "sums.md5"))),
              0);
    ASSERT_EQ(lumo::testing::AddJob(
                  d, {std::string("http://") + LUMO_E2E_CDN_HOST + "/game/patch.bin"}, downloads),
              0);
    ASSERT_EQ(lumo::testing::AddJob(d, {base + "/fault/status=404/missing.bin"}, downloads), 0);
    ASSERT_TRUE(module.RunUntilIdle(kJobBound));
    ASSERT_EQ(d->SampleStatistics(), 0);
    EXPECT_TRUE(Same(downloads / "data.bin", files / "data.bin"));
    EXPECT_TRUE(Same(downloads / "patch.bin", files / "game" / "patch.bin"));
    const std::string data = (downloads / "data.bin").string();
    const std::string patch = (downloads / "patch.bin").string();
    EXPECT_EQ(module.Completed(), (std::vector<std::string>{data, patch}));
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(downloads)) written.push_back(entry.path());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{data, patch})) << "nothing else, no part left";
    ILumoFileResults* results = nullptr;
    ASSERT_EQ(d->QueryInterface(&IID_ILumoFileResults, reinterpret_cast<void**>(&results)), 0);
    LumoFileResult result{};
    EXPECT_EQ(results->GetFileResult(data.c_str(), &result, nullptr, nullptr), 0);
    EXPECT_TRUE(result.state == kLumoFileDone && result.bytesReceived == 512 * 1024 + 3);
    const std::string missing = (downloads / "missing.bin").string();
    EXPECT_EQ(results->GetFileResult(missing.c_str(), &result, nullptr, nullptr), 0);
    EXPECT_TRUE(result.state == kLumoFileFailed && result.resultCode == 5);
    results->Release();

    ASSERT_FALSE(services.CdnRequests().empty());
    EXPECT_EQ(services.CdnRequests().front(), kGame);
    const auto requests = services.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().path, "/sums.md5") << "the checksum file before any data";
    EXPECT_TRUE(services.Requests("/cdn-a.lumo.test/data.bin").empty());
    EXPECT_EQ(services.Requests("/cdn-b.lumo.test/data.bin").size(), 1u);

    const std::set<std::string> types = {
        "MODULE_VERSION",     "FILE_DOWNLOAD",     "FILE_DOWNLOAD_DNS",  "DNS_REQUEST",
        "CDN_PREFER_REQUEST", "RUNNING_EXCEPTION", "DOWNLOAD_STATISTICS"};
    const auto seen = [&] {
      std::set<std::string> names;
      for (const auto& [type, count] : services.TelemetryCountByType()) names.insert(type);
      return names;
    };
    services.WaitFor([&] { return seen() == types; }, std::chrono::seconds(30));
    EXPECT_EQ(seen(), types) << "each of the seven event types, none else";
    for (const auto& record : services.Telemetry()) CheckCommonRules(record.eventType, record.body);
    module.Terminate(true);
  });
}

// Runs lumoget with standard output and error going to output; its process id.
int Spawn(const std::vector<std::string>& arguments, const fs::path& output) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1), dup2(fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}
// Its exit status, or 128 + signal.
int WaitExit(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
const std::string kLumoget = std::string(LUMO_E2E_BIN_DIR) + "/lumoget";
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(LumogetE2E, ExitsZeroOnlyWhenEveryFileArrivedAndNamesTheFailures) {
  RunInChild([] {
    Scene scene;
    ASSERT_NE(scene.base, "");
    WriteRandomFile(scene.files / "one.bin", 300 * 1024, 31);
    const fs::path output = TestDir() / "lumoget.txt", one = scene.downloads / "one.bin";
    // Mirrors on the command line, with a first mirror that fails.
    const int status =
        WaitExit(Spawn({kLumoget, "-d", scene.downloads.string(), "--sid", "e2e",
                        scene.base + "/fault/status=503/m/a/one.bin", scene.base + "/m/b/one.bin"},
                       output));
    const std::string text = ReadFile(output);
    EXPECT_TRUE(status == 0 && Same(one, scene.files / "one.bin")) << text;
    EXPECT_TRUE(Contains(text, "Completed files (1):\n  " + one.string())) << text;
    EXPECT_TRUE(Contains(text, "lumoget: finished")) << "plain lines when not on a terminal";
    EXPECT_EQ(WaitExit(Spawn({kLumoget, "ftp://example/x"}, output)), 2) << ReadFile(output);
    // A file that never arrives fails the run.
    EXPECT_EQ(WaitExit(Spawn({kLumoget, "-d", scene.downloads.string(),
                              scene.base + "/fault/status=404/m/a/two.bin"},
                             output)),
              1)
        << ReadFile(output);
  });
}

TEST(LumogetE2E, CtrlCStopsCleanlyAndTheNextRunResumes) {
  RunInChild([] {
    Scene scene;
    ASSERT_NE(scene.base, "");
    auto& services = *scene.services;
    WriteRandomFile(scene.files / "movie.bin", 6 * 1024 * 1024, 33);
    const std::string url = services.Url("/fault/rate=1500000/movie.bin");
    const fs::path output = TestDir() / "lumoget.txt", movie = scene.downloads / "movie.bin";
    const std::vector<std::string> command = {kLumoget, "-d", scene.downloads.string(), url};
    const int pid = Spawn(command, output);
    ASSERT_TRUE(services.WaitFor(
        [&] {
          const auto requests = services.Requests("/movie.bin");
          return !requests.empty() && requests[0].bytesSent > 1024 * 1024;
        },
        std::chrono::seconds(30)));
    kill(pid, SIGINT);
    const int status = WaitExit(pid);
    const std::string text = ReadFile(output);
    EXPECT_TRUE(status == 130 && Contains(text, "Interrupted") && Contains(text, "stopping"))
        << status << ": " << text;
    EXPECT_FALSE(fs::exists(movie));
    const size_t first = services.Requests("/movie.bin").size();
    ASSERT_GE(first, 1u);

    EXPECT_EQ(WaitExit(Spawn(command, output)), 0) << ReadFile(output);
    EXPECT_TRUE(Same(movie, scene.files / "movie.bin"));
    const auto requests = services.Requests("/movie.bin");
    ASSERT_GT(requests.size(), first);
    for (size_t i = first; i < requests.size(); ++i) {
      EXPECT_GT(requests[i].RangeStart(), 0) << "the next run resumes the partial file";
    }
  });
}

}  // namespace
}  // namespace lumo::e2e
