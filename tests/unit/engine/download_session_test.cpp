// Sessions against the local server: whole files, resumes, restarts, failures and their result
// codes, aborts, a full disk, manifests, the speed limit and options changed while running.
#include <fstream>
#include <thread>

#include "engine_test_support.h"
#include "platform/platform.h"

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

TEST_F(DownloadSessionTest, DroppedConnectionResumesWithRangeAndIfRange) {
  std::string data = RandomBytes(2 * kMiB, 3);
  Faults drop;
  drop.dropAfter = 700 * 1024;
  server_.AddFile("/data.bin", data, drop);

  SessionEnd first = Download(server_.Url("/data.bin"), dir_, "data.bin");
  EXPECT_EQ(first.status, kZdlStatusError);
  EXPECT_EQ(first.result, kZdlResultNetwork);
  EXPECT_FALSE(fs::exists(Target("data.bin")));
  ASSERT_EQ(fs::file_size(Part("data.bin")), 700u * 1024);

  server_.SetFaults("/data.bin", {});
  SessionEnd second = Download(server_.Url("/data.bin"), dir_, "data.bin");

  EXPECT_EQ(second.result, kZdlResultSuccess);
  EXPECT_EQ(second.info.resumedFrom, 700u * 1024);
  EXPECT_EQ(second.downloaded, data.size());
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
  auto requests = server_.Requests("/data.bin");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Range"), "");
  EXPECT_EQ(requests[1].Header("Range"), "bytes=716800-");
  EXPECT_EQ(requests[1].Header("If-Range"), server_.ETagOf("/data.bin"));
}

TEST_F(DownloadSessionTest, ResumeAgainstChangedFileRestartsFromZero) {
  std::string oldData = RandomBytes(kMiB, 4);
  Faults drop;
  drop.dropAfter = 300 * 1024;
  server_.AddFile("/data.bin", oldData, drop);
  EXPECT_EQ(Download(server_.Url("/data.bin"), dir_, "data.bin").result, kZdlResultNetwork);
  std::string oldTag = server_.ETagOf("/data.bin");

  std::string newData = RandomBytes(kMiB + 5, 5);
  server_.AddFile("/data.bin", newData);
  SessionEnd end = Download(server_.Url("/data.bin"), dir_, "data.bin");

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(end.info.resumedFrom, 0u);
  EXPECT_TRUE(ReadFile(Target("data.bin")) == newData);
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("If-Range"), oldTag);
}

TEST_F(DownloadSessionTest, ServerIgnoringRangeRestartsCleanly) {
  std::string data = RandomBytes(kMiB, 6);
  Faults faults;
  faults.dropAfter = 400 * 1024;
  server_.AddFile("/data.bin", data, faults);
  EXPECT_EQ(Download(server_.Url("/data.bin"), dir_, "data.bin").result, kZdlResultNetwork);

  faults = {};
  faults.ignoreRange = true;
  server_.SetFaults("/data.bin", faults);
  SessionEnd end = Download(server_.Url("/data.bin"), dir_, "data.bin");

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(end.info.resumedFrom, 0u);
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
}

TEST_F(DownloadSessionTest, OverwriteDiscardsThePart) {
  std::string data = RandomBytes(kMiB, 7);
  Faults faults;
  faults.dropAfter = 100 * 1024;
  server_.AddFile("/data.bin", data, faults);
  EXPECT_EQ(Download(server_.Url("/data.bin"), dir_, "data.bin").result, kZdlResultNetwork);
  server_.SetFaults("/data.bin", {});

  SessionEnd end = Download(server_.Url("/data.bin"), dir_, "data.bin", "", 0, true);

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("Range"), "");
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
}

TEST_F(DownloadSessionTest, PartWithoutValidatorIsNotResumed) {
  std::string data = RandomBytes(kMiB, 8);
  Faults faults;
  faults.dropAfter = 100 * 1024;
  faults.sendValidators = false;
  server_.AddFile("/data.bin", data, faults);
  EXPECT_EQ(Download(server_.Url("/data.bin"), dir_, "data.bin").result, kZdlResultNetwork);
  faults.dropAfter = lumo::services::kNever;
  server_.SetFaults("/data.bin", faults);

  SessionEnd end = Download(server_.Url("/data.bin"), dir_, "data.bin");

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("Range"), "");
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
}

TEST_F(DownloadSessionTest, HttpAndNetworkFailuresMapToResultCodes) {
  Faults serverError;
  serverError.status = 500;
  server_.AddFile("/broken", "x", serverError);

  SessionEnd missing = Download(server_.Url("/nothing-here"), dir_, "a.bin");
  EXPECT_EQ(missing.status, kZdlStatusError);
  EXPECT_EQ(missing.result, kZdlResultNotFound);

  SessionEnd broken = Download(server_.Url("/broken"), dir_, "b.bin");
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

  for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"}) {
    EXPECT_FALSE(fs::exists(Target(name))) << name;
  }
}

TEST_F(DownloadSessionTest, TransferTimeoutGivesResultSeven) {
  Faults stall;
  stall.stallAfter = 1000;
  server_.AddFile("/stall.bin", RandomBytes(100000, 9), stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  uint32_t seconds = 1;
  ASSERT_EQ(session->SetOption(kZdlOptionTransferTimeout, &seconds, sizeof seconds), kZdlOk);
  ASSERT_EQ(session->Start(), kZdlOk);
  SessionEnd end = WaitForEnd(session);
  session->Release();
  EXPECT_EQ(end.result, kZdlResultTimeout);
  EXPECT_EQ(end.downloaded, 1000u);
}

TEST_F(DownloadSessionTest, AbortFromAnotherThreadEndsAStalledSessionQuickly) {
  Faults stall;
  stall.stallAfter = 64 * 1024;
  server_.AddFile("/stall.bin", RandomBytes(kMiB, 10), stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(server_.WaitForStall(10s));
  ASSERT_TRUE(WaitForStatus(session, kZdlStatusDownloading, 10s));
  uint64_t downloaded = 0;
  for (auto start = std::chrono::steady_clock::now();
       downloaded < 64 * 1024 && std::chrono::steady_clock::now() - start < 10s;) {
    session->GetStatus(nullptr, nullptr, &downloaded, nullptr, nullptr);
    std::this_thread::sleep_for(5ms);
  }

  auto before = std::chrono::steady_clock::now();
  std::thread aborter([session] { session->Abort(); });
  aborter.join();
  SessionEnd end = WaitForEnd(session);
  auto took = std::chrono::steady_clock::now() - before;
  session->Release();

  EXPECT_EQ(end.status, kZdlStatusError);
  EXPECT_EQ(end.result, kZdlResultAborted);
  EXPECT_LT(took, 2s);  // about 100 ms; generous for loaded machines
  EXPECT_FALSE(fs::exists(Target("stall.bin")));
  EXPECT_EQ(fs::file_size(Part("stall.bin")), 64u * 1024);  // kept for a resume
}

TEST_F(DownloadSessionTest, AbortWhileConnectingAndBeforeStart) {
  Faults stall;
  stall.stallBeforeHeaders = true;
  server_.AddFile("/silent", "x", stall);
  IZDownloadSession* session = NewSession(server_.Url("/silent"), dir_, "silent.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(server_.WaitForStall(10s));
  int32_t status = -1;
  session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(status, kZdlStatusConnecting);
  session->Abort();
  EXPECT_EQ(WaitForEnd(session).result, kZdlResultAborted);
  session->Release();

  IZDownloadSession* unstarted = NewSession(server_.Url("/silent"), dir_, "other.bin");
  ASSERT_NE(unstarted, nullptr);
  unstarted->Abort();
  SessionEnd end = WaitForEnd(unstarted);
  EXPECT_EQ(end.status, kZdlStatusError);
  EXPECT_EQ(end.result, kZdlResultAborted);
  EXPECT_EQ(unstarted->Start(), kZdlWrongState);
  unstarted->Release();
}

TEST_F(DownloadSessionTest, ReleasingARunningSessionStopsIt) {
  Faults stall;
  stall.stallAfter = 1000;
  server_.AddFile("/stall.bin", RandomBytes(10000, 11), stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(server_.WaitForStall(10s));
  EXPECT_EQ(session->Release(), 0u);  // joins the engine thread; must not hang
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

TEST_F(DownloadSessionTest, ManifestThatMatchesPassesAndOneThatDoesNotDiscardsTheData) {
  std::string data = RandomBytes(200000, 13);
  server_.AddFile("/data.bin", data);
  lumo::platform::Md5Digest md5;
  md5.Update(data.data(), data.size());
  std::string digest = lumo::platform::DigestHex(md5.Finish());
  fs::path good = dir_ / "good.md5";
  fs::path bad = dir_ / "bad.md5";
  fs::path other = dir_ / "other.md5";
  std::ofstream(good) << "0123456789abcdef0123456789abcdef  other.bin\r\n"
                     << digest << " *data.bin\r\n";
  std::string wrong = digest;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  std::ofstream(bad) << wrong << "  data.bin\n";
  std::ofstream(other) << digest << "  something-else.bin\n";

  fs::path okDir = dir_ / "ok";
  SessionEnd ok = Download(server_.Url("/data.bin"), okDir, "data.bin", good.string());
  EXPECT_EQ(ok.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(okDir / "data.bin") == data);

  fs::path badDir = dir_ / "bad";
  SessionEnd mismatch = Download(server_.Url("/data.bin"), badDir, "data.bin", bad.string());
  EXPECT_EQ(mismatch.status, kZdlStatusError);
  EXPECT_EQ(mismatch.result, kZdlResultChecksum);
  EXPECT_FALSE(fs::exists(badDir / "data.bin"));
  EXPECT_FALSE(fs::exists(badDir / "data.bin.part"));

  size_t requestsBefore = server_.RequestCount("/data.bin");
  SessionEnd noLine = Download(server_.Url("/data.bin"), badDir, "data.bin", other.string());
  EXPECT_EQ(noLine.result, kZdlResultChecksum);
  EXPECT_EQ(server_.RequestCount("/data.bin"), requestsBefore);  // not fetched at all
  EXPECT_FALSE(fs::exists(badDir / "data.bin"));

  // Two lines for data.bin: the URL's folder picks the x64 one although x86 comes first; a URL
  // that picks neither fails with its own extended code, before any byte is fetched.
  server_.AddFile("/bin/x64/data.bin", data);
  fs::path archs = dir_ / "archs.md5";
  std::ofstream(archs) << wrong << "  x86/data.bin\n" << digest << "  x64/data.bin\n";
  SessionEnd picked =
      Download(server_.Url("/bin/x64/data.bin"), dir_ / "x64", "data.bin", archs.string());
  EXPECT_EQ(picked.result, kZdlResultSuccess);
  SessionEnd ambiguous = Download(server_.Url("/data.bin"), badDir, "data.bin", archs.string());
  EXPECT_EQ(ambiguous.result, kZdlResultChecksum);
  EXPECT_EQ(ambiguous.extended, kZdlExtChecksumAmbiguous);
}

TEST_F(DownloadSessionTest, MaxSpeedOptionLimitsTheTransfer) {
  std::string data = RandomBytes(768 * 1024, 14);
  server_.AddFile("/data.bin", data);

  SessionEnd end = Download(server_.Url("/data.bin"), dir_, "data.bin", "", 256 * 1024);

  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(Target("data.bin")) == data);
  // 768 KiB at 256 KiB/s takes about 3 s; unlimited it takes milliseconds.
  EXPECT_GE(end.took, 1500ms);
  EXPECT_GE(end.info.elapsedMs, 1500u);
}

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

TEST_F(DownloadSessionTest, EngineTermAbortsRunningSessionsAndRefusesNewOnes) {
  Faults stall;
  stall.stallAfter = 1000;
  server_.AddFile("/stall.bin", RandomBytes(10000, 16), stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  ASSERT_TRUE(server_.WaitForStall(10s));

  EngineTerm();
  int32_t status = -1, result = -1, extended = 0;
  session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(status, kZdlStatusError);  // the thread has ended already
  session->GetResult(&result, &extended);
  EXPECT_EQ(result, kZdlResultAborted);
  session->Release();

  IZDownloadSession* late = nullptr;
  lumo::WString wideDir = Wide(dir_.string());
  EXPECT_LT(downloads_->CreateSession(server_.Url("/x").c_str(), nullptr, wideDir.c_str(),
                                      Wide("x").c_str(), &late),
            0);
  EXPECT_EQ(late, nullptr);
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
  EXPECT_LT(timedOut.took, 10s);
  session->Release();
  stalled->Release();
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("User-Agent"), "LumoTest/1.0");
}

}  // namespace
}  // namespace testing
}  // namespace zdl
