// Sessions against the local server: whole files, resumes, restarts, failures and their result
// codes, aborts, a full disk, manifests, the speed limit and options changed while running.
#include <fstream>
#include <thread>

#include "engine_test_support.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::Faults;
using lumo::services::LocalServices;
using namespace std::chrono_literals;

constexpr size_t kMiB = 1024 * 1024;

class DownloadSessionTest : public EngineTest {
 protected:
  fs::path Target(const std::string& name) { return dir_ / name; }
  fs::path Part(const std::string& name) { return dir_ / (name + ".part"); }
};

TEST_F(DownloadSessionTest, PlainDownloadIsByteIdenticalAndLeavesNoPart) {
  std::string data = RandomBytes(3 * kMiB + 17, 1);
  server_.AddFile("/files/game.pak", data);

  SessionEnd end = Download(server_.Url("/files/game.pak"), dir_, "game.pak");

  EXPECT_EQ(end.status, kZdlStatusDownloaded);
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(end.total, data.size());
  EXPECT_EQ(end.downloaded, data.size());
  EXPECT_EQ(end.info.totalBytes, data.size());
  EXPECT_EQ(end.info.resumedFrom, 0u);
  EXPECT_TRUE(ReadFile(Target("game.pak")) == data);
  EXPECT_FALSE(fs::exists(Part("game.pak")));
  EXPECT_FALSE(fs::exists(dir_ / "game.pak.part.meta"));
}

TEST_F(DownloadSessionTest, EmptyFileIsDownloadedToo) {
  server_.AddFile("/empty", "");
  SessionEnd end = Download(server_.Url("/empty"), dir_, "empty.bin");
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(fs::exists(Target("empty.bin")));
  EXPECT_EQ(fs::file_size(Target("empty.bin")), 0u);
}

TEST_F(DownloadSessionTest, MissingSaveDirectoryIsCreatedAndEmptyNameComesFromUrl) {
  std::string data = RandomBytes(1000, 2);
  server_.AddFile("/pkg/patch:1.bin", data);
  fs::path nested = dir_ / "a" / "b";

  SessionEnd end = Download(server_.Url("/pkg/patch:1.bin?sig=abc/def#frag"), nested, "");

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(nested / "patch_1.bin") == data);

  // A name's subfolders are created; a name leading out of the folder is refused at once.
  end = Download(server_.Url("/pkg/patch:1.bin"), nested, "data/sub/p.bin");
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(nested / "data" / "sub" / "p.bin") == data);
  const std::string url = server_.Url("/pkg/patch:1.bin");
  for (const char* bad : {"../escape.bin", "/abs.bin", "c:x.bin", "x.bin:s", "nul/x.bin"}) {
    IZDownloadSession* session = nullptr;
    EXPECT_EQ(downloads_->CreateSession(url.c_str(), nullptr, Wide(nested.string()).c_str(),
                                        Wide(bad).c_str(), &session),
              kZdlInvalidArg)
        << bad;
    EXPECT_EQ(session, nullptr);
  }
  EXPECT_FALSE(fs::exists(nested.parent_path() / "escape.bin"));
}

TEST_F(DownloadSessionTest, HttpAndNetworkFailuresMapToResultCodes) {
  Faults serverError;
  serverError.status = 500;
  server_.AddFile("/broken", "x", serverError);

  SessionEnd broken = Download(server_.Url("/broken"), dir_, "b.bin");
  EXPECT_EQ(broken.status, kZdlStatusError);
  EXPECT_EQ(broken.result, kZdlResultServer);
  EXPECT_EQ(broken.extended, 500);

  LocalServices closed;
  ASSERT_TRUE(closed.Start());
  std::string refusedUrl = closed.Url("/x");
  closed.Stop();
  SessionEnd refused = Download(refusedUrl, dir_, "c.bin");
  EXPECT_EQ(refused.result, kZdlResultNetwork);

  SessionEnd unresolved = Download("http://no-such-host.invalid/x", dir_, "d.bin");
  EXPECT_EQ(unresolved.result, kZdlResultNetwork);

  for (const char* name : {"b.bin", "c.bin", "d.bin"}) {
    EXPECT_FALSE(fs::exists(Target(name))) << name;
  }
}

// Every way a running session is given up ends it promptly, as aborted, the part kept.
enum class Stop { kAbortInBody, kAbortConnecting, kRelease, kEngineTerm };

class StoppedSessionTest : public DownloadSessionTest,
                           public ::testing::WithParamInterface<Stop> {};

TEST_P(StoppedSessionTest, EndsPromptlyAsAborted) {
  const Stop stop = GetParam();
  Faults stall;
  stall.stallAfter = 64 * 1024;
  stall.stallBeforeHeaders = stop == Stop::kAbortConnecting;
  server_.AddFile("/stall.bin", RandomBytes(kMiB, 10), stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(server_.WaitForStall(10s));
  int32_t status = -1;
  uint64_t downloaded = 0;
  const auto before = std::chrono::steady_clock::now();
  while (stop != Stop::kAbortConnecting && downloaded < 64 * 1024 &&
         std::chrono::steady_clock::now() - before < 10s) {
    session->GetStatus(&status, nullptr, &downloaded, nullptr, nullptr);
    std::this_thread::sleep_for(5ms);
  }
  session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(status, stop == Stop::kAbortConnecting ? kZdlStatusConnecting : kZdlStatusDownloading);
  const auto stopped = std::chrono::steady_clock::now();
  if (stop == Stop::kRelease) {
    EXPECT_EQ(session->Release(), 0u);  // joins the engine thread; must not hang
  } else {
    if (stop == Stop::kEngineTerm) {
      EngineTerm();
      session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
      EXPECT_EQ(status, kZdlStatusError);  // the thread has ended already
    } else {
      std::thread([session] { session->Abort(); }).join();
    }
    SessionEnd end = WaitForEnd(session);
    session->Release();
    EXPECT_EQ(end.status, kZdlStatusError);
    EXPECT_EQ(end.result, kZdlResultAborted);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);  // about 100 ms
  EXPECT_FALSE(fs::exists(Target("stall.bin")));
  if (stop != Stop::kAbortConnecting) {
    EXPECT_EQ(fs::file_size(Part("stall.bin")), 64u * 1024);  // kept for a resume
  }
  if (stop == Stop::kEngineTerm) {
    IZDownloadSession* late = nullptr;
    EXPECT_LT(downloads_->CreateSession(server_.Url("/x").c_str(), nullptr,
                                        Wide(dir_.string()).c_str(), Wide("x").c_str(), &late),
              0);
    EXPECT_EQ(late, nullptr);
  }
}

std::string StopName(const ::testing::TestParamInfo<Stop>& info) {
  const char* const names[] = {"AbortInBody", "AbortConnecting", "Release", "EngineTerm"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Ways, StoppedSessionTest,
                         ::testing::Values(Stop::kAbortInBody, Stop::kAbortConnecting,
                                           Stop::kRelease, Stop::kEngineTerm),
                         StopName);

TEST_F(DownloadSessionTest, AbortBeforeStart) {
  IZDownloadSession* unstarted = NewSession(server_.Url("/silent"), dir_, "other.bin");
  ASSERT_NE(unstarted, nullptr);
  unstarted->Abort();
  SessionEnd end = WaitForEnd(unstarted);
  EXPECT_EQ(end.status, kZdlStatusError);
  EXPECT_EQ(end.result, kZdlResultAborted);
  EXPECT_EQ(unstarted->Start(), kZdlWrongState);
  unstarted->Release();
}

TEST_F(DownloadSessionTest, UnwritableDirectoryGivesAccessDenied) {
  fs::path locked = dir_ / "locked";
  fs::create_directories(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  std::error_code probe;
  {
    std::ofstream test(locked / "probe");
    if (test) {
      fs::permissions(locked, fs::perms::owner_all);
      GTEST_SKIP() << "running with rights that ignore permissions";
    }
  }
  server_.AddFile("/data.bin", "abc");
  SessionEnd end = Download(server_.Url("/data.bin"), locked, "data.bin");
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(end.result, kZdlResultFileSystem);
  EXPECT_EQ(end.extended, kZdlExtAccessDenied);
}

// The checksum manifest decides the file: a wrong digest discards the data, a manifest without
// a line for the file (or with lines the URL cannot tell apart) fails before any byte is fetched.
struct ManifestCase {
  const char* name;
  std::string manifest;
  std::string path;  // on the server
  int32_t result;
  int32_t extended;
  bool fetched;
};

const std::string kSums = RandomBytes(200000, 13);
const std::string kDigest = lumo::testing::Md5Hex(kSums);
const std::string kWrong = (kDigest[0] == '0' ? "1" : "0") + kDigest.substr(1);

class ManifestSessionTest : public DownloadSessionTest,
                            public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(ManifestSessionTest, DecidesTheFile) {
  const ManifestCase& c = GetParam();
  server_.AddFile(c.path, kSums);
  lumo::testing::WriteFile(dir_ / "sums.md5", c.manifest);
  SessionEnd end =
      Download(server_.Url(c.path), dir_ / "save", "data.bin", (dir_ / "sums.md5").string());
  EXPECT_EQ(end.result, c.result);
  EXPECT_EQ(end.extended, c.extended);
  EXPECT_EQ(ReadFile(dir_ / "save" / "data.bin") == kSums, c.result == kZdlResultSuccess);
  EXPECT_FALSE(fs::exists(dir_ / "save" / "data.bin.part"));
  EXPECT_EQ(server_.RequestCount(c.path), c.fetched ? 1u : 0u);
}

const ManifestCase kManifestCases[] = {
    {"MatchingLine", "0123456789abcdef0123456789abcdef  other.bin\r\n" + kDigest + " *data.bin\r\n",
     "/data.bin", kZdlResultSuccess, 0, true},
    {"WrongDigest", kWrong + "  data.bin\n", "/data.bin", kZdlResultChecksum, 0, true},
    {"NoLineForTheFile", kDigest + "  something-else.bin\n", "/data.bin", kZdlResultChecksum, 0,
     false},
    // x86 comes first; the URL's folder picks x64.
    {"UrlFolderPicksTheLine", kWrong + "  x86/data.bin\n" + kDigest + "  x64/data.bin\n",
     "/bin/x64/data.bin", kZdlResultSuccess, 0, true},
    {"UrlFolderPicksNone", kWrong + "  x86/data.bin\n" + kDigest + "  x64/data.bin\n", "/data.bin",
     kZdlResultChecksum, kZdlExtChecksumAmbiguous, false},
};

INSTANTIATE_TEST_SUITE_P(Manifests, ManifestSessionTest, ::testing::ValuesIn(kManifestCases),
                         [](const ::testing::TestParamInfo<ManifestCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(DownloadSessionTest, SpeedsAreBytesPerSecondWhileDownloading) {
  Faults slow;
  slow.chunkBytes = 16 * 1024;
  slow.rate = 320 * 1024;  // 16 KiB every 50 ms
  server_.AddFile("/slow.bin", RandomBytes(400 * 1024, 15), slow);
  IZDownloadSession* session = NewSession(server_.Url("/slow.bin"), dir_, "slow.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(WaitForStatus(session, kZdlStatusDownloading, 10s));
  // Wait (bounded) for a sample that covers most of a second of data.
  uint32_t average = 0, current = 0;
  uint64_t downloaded = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 10s) {
    int32_t status = 0;
    session->GetStatus(&status, nullptr, &downloaded, &average, &current);
    if (downloaded >= 200 * 1024 || status != kZdlStatusDownloading) break;
    std::this_thread::sleep_for(20ms);
  }
  // About 320 KiB/s; wide bounds for a busy machine.
  EXPECT_GT(current, 50u * 1024);
  EXPECT_LT(current, 2000u * 1024);
  EXPECT_GT(average, 50u * 1024);
  EXPECT_EQ(WaitForEnd(session).result, kZdlResultSuccess);
  session->Release();
}

TEST_F(DownloadSessionTest, OptionsAreReadBackAndChangeARunningSession) {
  std::string data = RandomBytes(kMiB, 17);
  server_.AddFile("/data.bin", data);
  Faults stall;
  stall.stallAfter = 1000;
  server_.AddFile("/stall.bin", RandomBytes(100000, 18), stall);
  IZDownloadSession* session = NewSession(server_.Url("/data.bin"), dir_, "data.bin");
  IZDownloadSession* stalled = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_NE(stalled, nullptr);
  const char agent[] = "LumoTest/1.0";
  EXPECT_EQ(session->SetOption(kZdlOptionUserAgent, agent, sizeof agent - 1), kZdlOk);
  EXPECT_EQ(session->SetOption(42, agent, 1), kZdlInvalidArg);
  char back[64] = {};
  uint32_t size = sizeof back;
  EXPECT_EQ(session->GetOption(kZdlOptionUserAgent, back, &size), kZdlOk);
  EXPECT_EQ(std::string(back, size), "LumoTest/1.0");
  uint32_t speed = 16 * 1024;  // a minute for the file
  ASSERT_EQ(session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed), kZdlOk);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_EQ(stalled->Start(), kZdlOk);
  ASSERT_TRUE(WaitForStatus(session, kZdlStatusDownloading, 10s));

  // The limit lifted and a transfer time-out set while the sessions run take effect at once.
  speed = 0;
  EXPECT_EQ(session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed), kZdlOk);
  uint8_t overwrite = 1;
  EXPECT_EQ(session->SetOption(kZdlOptionOverwrite, &overwrite, 1), kZdlWrongState);
  uint32_t seconds = 1;
  EXPECT_EQ(stalled->SetOption(kZdlOptionTransferTimeout, &seconds, sizeof seconds), kZdlOk);
  size = sizeof speed;
  EXPECT_EQ(session->GetOption(kZdlOptionMaxSpeed, &speed, &size), kZdlOk);
  EXPECT_EQ(speed, 0u);
  SessionEnd end = WaitForEnd(session, 30s);
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_LT(end.took, 10s);
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
  SessionEnd timedOut = WaitForEnd(stalled, 30s);
  EXPECT_EQ(timedOut.result, kZdlResultTimeout);
  EXPECT_EQ(timedOut.downloaded, 1000u);
  EXPECT_LT(timedOut.took, 10s);
  session->Release();
  stalled->Release();
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("User-Agent"), "LumoTest/1.0");
}

}  // namespace
}  // namespace testing
}  // namespace zdl
