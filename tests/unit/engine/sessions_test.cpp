// Download sessions against a scripted server: what lies in the save folder before (a part of
// an earlier run, links, FIFOs and second names planted by whatever else runs as the user), how
// the server answers (lying about the file, its range, its length or its encoding), and what
// the session must end with. Nothing corrupt may become the file, nothing outside the save
// folder may be written, nothing of the disk may stay taken.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "engine_test_support.h"
#include "scripted_server.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::Faults;
using lumo::services::RawRequest;
using lumo::services::Script;
using lumo::services::ScriptedServer;
using lumo::services::ScriptStep;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kKiB = 1024;
const std::string kOld = RandomBytes(300 * kKiB, 41);
const std::string kNew = RandomBytes(300 * kKiB, 42);
const size_t kCut = 120 * kKiB;
const std::string kDigest = Md5Hex(kNew);
const std::string kWrong = (kDigest[0] == '0' ? "1" : "0") + kDigest.substr(1);
const std::string kDate = "Tue, 01 Dec 2026 10:00:00 GMT";

// What the server does. kHonest honours Range only with the If-Range of the current version
// ("v2"); kIgnoresIfRange sends the rest of the current version to any Range; kEndAsked answers
// a Range at the file's end 416 without validator, the last byte on asking for it (nginx).
enum class Serve {
  kHonest,
  kIgnoresIfRange,
  kByDate,
  k416,
  k416Other,
  kEndAsked,
  kHuge,
  kCutShort,
  kGzip,
  kNoLength,
  kDrip,
  kContinues,
  k404,
  k500
};

Script Answer(int status, Headers headers, const std::string& body = "") {
  headers.emplace_back("Connection", "close");
  return Script{{ScriptedServer::Head(status, headers) + body}};
}
Script Respond(Serve serve, const RawRequest& r) {
  const std::string range = r.Header("range"), size = std::to_string(kNew.size());
  const size_t first = range.empty() ? 0 : std::stoul(range.substr(6));
  const std::string validator = serve == Serve::kByDate ? "Last-Modified" : "ETag";
  const std::string v2 = serve == Serve::kByDate ? kDate : "\"v2\"";
  if (serve == Serve::k404 || serve == Serve::k500)
    return Answer(serve == Serve::k404 ? 404 : 500, {{"Content-Length", "0"}});
  if (serve == Serve::kDrip || serve == Serve::kContinues) {  // a head that never ends
    Script script{{serve == Serve::kDrip ? "HTTP/1.1 200 OK\r\n" : "", 500ms}};
    for (int i = 0; i < 200; ++i) {
      script.push_back(
          {serve == Serve::kDrip ? "X-Drip: 1\r\n" : "HTTP/1.1 100 Continue\r\n\r\n", 500ms});
    }
    return script;
  }
  if (serve == Serve::kNoLength)
    return Script{{"HTTP/1.1 200 OK\r\n\r\n" + kNew + kNew + kNew + kNew}};
  if (serve == Serve::kHuge) {  // 1 PiB: beyond any free space here
    return Script{{ScriptedServer::Head(200, {{"Content-Length", "1125899906842624"}})},
                  {"", ScriptStep::kHold}};
  }
  if (serve == Serve::kCutShort) {  // 64 MiB announced, 256 KiB sent
    return Answer(200, {{"Content-Length", std::to_string(64 << 20)}, {"ETag", "\"big\""}},
                  kNew.substr(0, 256 * kKiB));
  }
  if (serve == Serve::k416 || (serve == Serve::k416Other && first) ||
      (serve == Serve::kEndAsked && first == kNew.size())) {
    Headers headers = {{"Content-Range", "bytes */" + size}, {"Content-Length", "0"}};
    if (serve != Serve::kEndAsked) headers.emplace_back("ETag", v2);
    return Answer(416, headers);
  }
  if (first == 0 || (serve == Serve::kHonest && r.Header("if-range") != v2) ||
      serve == Serve::k416Other) {
    Headers headers = {{"Content-Length", size}, {validator, v2}};
    if (serve == Serve::kGzip) headers.emplace_back("Content-Encoding", "gzip");
    return Answer(200, headers, kNew);
  }
  return Answer(206,
                {{"Content-Range", "bytes " + std::to_string(first) + "-" +
                                       std::to_string(kNew.size() - 1) + "/" + size},
                 {"Content-Length", std::to_string(kNew.size() - first)},
                 {validator, v2}},
                kNew.substr(first));
}

// What lies in the save folder before: a part of an earlier run with its .part.meta, or a trap
// pointing at dir/victim or dir/outside.
enum class Before {
  kNothing,
  kNewPart,
  kOldPart,
  kNewWhole,
  kOldWhole,
  kNoMeta,
  kDatedPart,
  kTwoLineMeta,
  kPartLink,
  kPartHardLink,
  kPartFifo,
  kMetaLink,
  kFolderLink,
  kSmallDisk,  // a 1 MiB tmpfs (root only)
};

struct Case {
  const char* name;
  Before before;
  Serve serve;
  int32_t result, extended;  // extended checked when not -1
  bool partLeft;
  uint64_t resumedFrom;
  std::string asks;  // each request's Range and If-Range, ";" after each
  std::string manifest = "";
  bool overwrite = false;
};

class Sessions : public EngineTest, public ::testing::WithParamInterface<Case> {};

using B = Before;
using S = Serve;
std::string Ask(size_t from, const std::string& validator) {
  return "bytes=" + std::to_string(from) + "- " + validator + ";";
}
const std::string kPlain = " ;", kV1 = "\"v1\"", kV2 = "\"v2\"";
const size_t kEnd = 300 * kKiB;
constexpr int32_t kOk = kZdlResultSuccess, kFs = kZdlResultFileSystem,
                  kDenied = kZdlExtAccessDenied;
const Case kCases[] = {
    {"RangeOfTheSameVersionResumes", B::kNewPart, S::kHonest, kOk, 0, false, kCut, Ask(kCut, kV2)},
    {"LastModifiedOfTheSameVersionResumes", B::kDatedPart, S::kByDate, kOk, 0, false, kCut,
     Ask(kCut, kDate)},
    {"IfRangeOfAnotherVersionGetsTheWholeFile", B::kOldPart, S::kHonest, kOk, 0, false, 0,
     Ask(kCut, kV1)},
    {"PartWithoutValidatorIsNotResumed", B::kNoMeta, S::kHonest, kOk, 0, false, 0, kPlain},
    {"OverwriteDiscardsThePart", B::kNewPart, S::kHonest, kOk, 0, false, 0, kPlain, "", true},
    // A server that honours Range but ignores If-Range sends the rest of another version.
    {"RangeOfAnotherVersionRestartsFromZero", B::kOldPart, S::kIgnoresIfRange, kOk, 0, false, 0,
     Ask(kCut, kV1) + kPlain},
    // A part as long as the changed file is not that file.
    {"UnsatisfiableForAnotherVersionRestarts", B::kOldWhole, S::k416Other, kOk, 0, false, 0,
     Ask(kEnd, kV1) + kPlain},
    {"UnsatisfiableForTheSameVersionIsDone", B::kNewWhole, S::k416, kOk, 0, false, kEnd,
     Ask(kEnd, kV2)},
    {"UnsatisfiableWithoutValidatorIsConfirmedByTheLastByte", B::kNewWhole, S::kEndAsked, kOk, 0,
     false, kEnd, Ask(kEnd, kV2) + Ask(kEnd - 1, kV2)},
    {"UnsatisfiableWithoutValidatorForAnotherVersionRestarts", B::kOldWhole, S::kEndAsked, kOk, 0,
     false, 0, Ask(kEnd, kV1) + Ask(kEnd - 1, kV1) + kPlain},
    {"ClaimBeyondFreeSpaceKeepsAnEarlierPart", B::kNewPart, S::kHuge, kFs, kZdlExtClaimExceedsSpace,
     true, 0, Ask(kCut, kV2)},
    {"CutTransferGivesBackItsReservation", B::kNothing, S::kCutShort, kZdlResultNetwork, -1, true,
     0, kPlain},
    {"EncodedBodyIsThatUrlsFailure", B::kNothing, S::kGzip, kZdlResultServer, 0, false, 0, kPlain},
    {"NotFoundLeavesNoEmptyPart", B::kNothing, S::k404, kZdlResultNotFound, 404, false, 0, kPlain},
    {"ServerError", B::kNothing, S::k500, kZdlResultServer, 500, false, 0, kPlain},
    // Heads that never end fail once the connect time-out (1 s) and 30 s have passed.
    {"HeaderLinesDripping", B::kNothing, S::kDrip, kZdlResultNetwork, -1, false, 0, kPlain},
    {"ContinuesForEver", B::kNothing, S::kContinues, kZdlResultNetwork, -1, false, 0, kPlain},
    {"BodyWithoutLengthFillsTheDisk", B::kSmallDisk, S::kNoLength, kFs, kZdlExtDiskFull, true, 0,
     kPlain},
    // The manifest decides the file: a wrong digest discards it, no line (or lines the URL cannot
    // tell apart) fails before any byte is fetched.
    {"ManifestLineMatches", B::kNothing, S::kHonest, kOk, 0, false, 0, kPlain,
     "\xEF\xBB\xBF" + kDigest + " *game.pak\r\n" + kWrong + "  a.bin\r\n"},
    {"ManifestDigestIsWrong", B::kNothing, S::kHonest, kZdlResultChecksum, 0, false, 0, kPlain,
     kWrong + "  game.pak\n"},
    {"ManifestHasNoLineForTheFile", B::kNothing, S::kHonest, kZdlResultChecksum, 0, false, 0, "",
     kDigest + "  a.pak\n"},
    {"ManifestLinesTheUrlCannotTellApart", B::kNothing, S::kHonest, kZdlResultChecksum,
     kZdlExtChecksumAmbiguous, false, 0, "",
     kWrong + "  x86/game.pak\n" + kDigest + "  x64/game.pak\n"},
    {"PartIsALinkToAnotherFile", B::kPartLink, S::kHonest, kFs, kDenied, true, 0, ""},
    {"PartHasASecondName", B::kPartHardLink, S::kHonest, kFs, kDenied, true, 0, ""},
    {"PartIsAFifo", B::kPartFifo, S::kHonest, kFs, kDenied, true, 0, ""},
    // Followed, the link's target (the validator) would be sent as If-Range and the part resumed.
    {"MetaIsALinkToAValidator", B::kMetaLink, S::kHonest, kOk, 0, false, 0, kPlain},
    {"MetaOfTwoLinesInjectsNothing", B::kTwoLineMeta, S::kHonest, kOk, 0, false, 0, kPlain},
    {"FolderOfTheNameIsALink", B::kFolderLink, S::kHonest, kFs, kDenied, false, 0, ""},
};

TEST_P(Sessions, EndSoundly) {
  const Case& c = GetParam();
  ScriptedServer server([&c](const RawRequest& r) { return Respond(c.serve, r); });
  ASSERT_TRUE(server.Start());
  const std::string name = c.before == B::kFolderLink ? "data/game.pak" : "game.pak";
  const fs::path save = dir_ / "save", part = save / (name + ".part");
  const fs::path meta = save / (name + ".part.meta"), victim = dir_ / "victim";
  fs::create_directories(dir_ / "outside");
  WriteFile(victim, "\"v2\"\n");
  const std::string earlier = c.before == B::kOldPart    ? kOld.substr(0, kCut)
                              : c.before == B::kOldWhole ? kOld
                              : c.before == B::kNewWhole ? kNew
                                                         : kNew.substr(0, kCut);
  const std::string metas[] = {"",         "\"v2\"\n", "\"v1\"\n",   "\"v2\"\n",
                               "\"v1\"\n", "",         kDate + "\n", "\"v2\"\r\nX-Injected: 1\n"};
  const std::string metaText = c.before <= B::kTwoLineMeta ? metas[static_cast<int>(c.before)] : "";
  if (c.before > B::kNothing && c.before <= B::kTwoLineMeta) {
    WriteFile(part, earlier);
    WriteFile(meta, metaText);
  }
  fs::create_directories(save);
  if (c.before == B::kSmallDisk &&
      (::geteuid() != 0 || ::mount("tmpfs", save.c_str(), "tmpfs", 0, "size=1m") != 0)) {
    GTEST_SKIP() << "\n*** FULL DISK NOT TESTED: mounting a tmpfs needs root";
  }
  if (c.before == B::kPartLink) fs::create_symlink(victim, part);
  if (c.before == B::kPartHardLink) fs::create_hard_link(victim, part);
  ASSERT_TRUE(c.before != B::kPartFifo || ::mkfifo(part.c_str(), 0600) == 0);
  if (c.before == B::kMetaLink) {
    WriteFile(part, earlier);
    fs::create_symlink(victim, meta);
  }
  if (c.before == B::kFolderLink) fs::create_directory_symlink(dir_ / "outside", save / "data");
  if (!c.manifest.empty()) WriteFile(dir_ / "sums.md5", c.manifest);
  const std::string manifest = c.manifest.empty() ? "" : (dir_ / "sums.md5").string();
  // A blocked open() would hold the session: bounded (a FIFO is never opened for reading).
  IZDownloadSession* session = NewSession(server.Url("/files/game.pak"), save, name, manifest);
  ASSERT_NE(session, nullptr);
  const uint8_t overwrite = c.overwrite;
  const uint32_t connect = 1;
  EXPECT_EQ(session->SetOption(kZdlOptionOverwrite, &overwrite, 1), kZdlOk);
  EXPECT_EQ(session->SetOption(kZdlOptionConnectTimeout, &connect, sizeof connect), kZdlOk);
  ASSERT_EQ(session->Start(), kZdlOk);
  const SessionEnd end = WaitForEnd(session, 50s);
  session->Release();
  server.Stop();
  const bool partLeft = fs::exists(part);
  if (c.before == B::kSmallDisk) ::umount2(save.c_str(), MNT_DETACH);

  EXPECT_EQ(end.result, c.result);
  EXPECT_TRUE(c.extended == -1 || end.extended == c.extended) << end.extended;
  EXPECT_EQ(ReadFile(save / name) == kNew, c.result == kZdlResultSuccess);
  EXPECT_TRUE(c.result == kZdlResultSuccess || !fs::exists(save / name));
  EXPECT_EQ(partLeft, c.partLeft);
  EXPECT_TRUE(c.partLeft || !fs::exists(meta));
  EXPECT_EQ(ReadFile(dir_ / "victim"), "\"v2\"\n") << "a file outside the save folder changed";
  EXPECT_TRUE(fs::is_empty(dir_ / "outside"));

  const auto requests = server.Requests();
  std::string asks;
  for (const RawRequest& r : requests) {
    asks += r.Header("range") + " " + r.Header("if-range") + ";";
    EXPECT_EQ(r.Header("accept-encoding"), "identity");
    EXPECT_EQ(r.Header("x-injected"), "");
  }
  EXPECT_EQ(asks, c.asks);
  if (c.result == kOk) {
    EXPECT_EQ(end.info.resumedFrom, c.resumedFrom);
    EXPECT_EQ(end.downloaded, kNew.size());
  }
  if (c.result != kOk && !metaText.empty()) {
    EXPECT_TRUE(ReadFile(part) == earlier) << "an earlier run's part was touched";
    EXPECT_TRUE(fs::exists(meta));
  }
  struct stat st {};
  if (::lstat(part.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, st.st_size + (1u << 20))
        << "room reserved for the unsent rest is still taken";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Sessions, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// Every way a running session is given up ends it promptly, as aborted, the part kept.
enum class Stop { kAbortInBody, kAbortConnecting, kRelease, kEngineTerm, kAbortBeforeStart };

class StoppedSession : public EngineTest, public ::testing::WithParamInterface<Stop> {};

TEST_P(StoppedSession, EndsPromptlyAsAborted) {
  const Stop stop = GetParam();
  Faults stall;
  stall.stallAfter = 64 * kKiB;
  stall.stallBeforeHeaders = stop == Stop::kAbortConnecting;
  server_.AddFile("/stall.bin", kNew, stall);
  IZDownloadSession* session = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  ASSERT_NE(session, nullptr);
  if (stop == Stop::kAbortBeforeStart) {
    session->Abort();
    EXPECT_EQ(session->Start(), kZdlWrongState);
  } else {
    ASSERT_EQ(session->Start(), kZdlOk);
    ASSERT_TRUE(server_.WaitForStall(10s));
  }
  int32_t status = -1;
  uint64_t downloaded = 0;
  for (int i = 0; i < 2000 && downloaded < 64 * kKiB && stop <= Stop::kEngineTerm &&
                  stop != Stop::kAbortConnecting;
       ++i) {
    session->GetStatus(&status, nullptr, &downloaded, nullptr, nullptr);
    std::this_thread::sleep_for(5ms);
  }
  session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(status, stop == Stop::kAbortConnecting    ? kZdlStatusConnecting
                    : stop == Stop::kAbortBeforeStart ? kZdlStatusError
                                                      : kZdlStatusDownloading);
  const auto stopped = std::chrono::steady_clock::now();
  if (stop == Stop::kRelease) {
    EXPECT_EQ(session->Release(), 0u);  // joins the engine thread; must not hang
  } else {
    if (stop == Stop::kEngineTerm) {
      EngineTerm();
      session->GetStatus(&status, nullptr, nullptr, nullptr, nullptr);
      EXPECT_EQ(status, kZdlStatusError);  // the thread has ended already
    } else if (stop != Stop::kAbortBeforeStart) {
      std::thread([session] { session->Abort(); }).join();
    }
    const SessionEnd end = WaitForEnd(session);
    session->Release();
    EXPECT_EQ(end.result, kZdlResultAborted);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);  // about 100 ms
  EXPECT_FALSE(fs::exists(dir_ / "stall.bin"));
  if (stop <= Stop::kEngineTerm && stop != Stop::kAbortConnecting) {
    EXPECT_EQ(fs::file_size(dir_ / "stall.bin.part"), 64u * kKiB);  // kept for a resume
  }
  if (stop == Stop::kEngineTerm) {
    IZDownloadSession* late = nullptr;
    EXPECT_LT(downloads_->CreateSession(server_.Url("/x").c_str(), nullptr,
                                        Wide(dir_.string()).c_str(), Wide("x").c_str(), &late),
              0);
    EXPECT_EQ(late, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, StoppedSession,
                         ::testing::Values(Stop::kAbortInBody, Stop::kAbortConnecting,
                                           Stop::kRelease, Stop::kEngineTerm,
                                           Stop::kAbortBeforeStart));

// Options read back and changed while sessions run: the speed limit lifted, a transfer time-out
// set on a stalled body; a proxy that refuses connections is used, not bypassed.
TEST_F(EngineTest, OptionsChangeRunningSessions) {
  server_.AddFile("/data.bin", kNew);
  Faults stall;
  stall.stallAfter = 1000;
  server_.AddFile("/stall.bin", kOld, stall);
  lumo::services::LocalServices closed;
  ASSERT_TRUE(closed.Start());
  const std::string proxy = closed.Url();
  closed.Stop();
  IZDownloadSession* session = NewSession(server_.Url("/data.bin?x=1"), dir_, "");
  IZDownloadSession* stalled = NewSession(server_.Url("/stall.bin"), dir_, "stall.bin");
  IZDownloadSession* proxied = NewSession(server_.Url("/data.bin"), dir_, "proxied.bin");
  ASSERT_TRUE(session && stalled && proxied);
  const std::string agent = "LumoTest/1.0";
  for (const auto& [s, id, text] : {std::make_tuple(session, kZdlOptionUserAgent, agent),
                                    std::make_tuple(proxied, kZdlOptionProxy, proxy)}) {
    EXPECT_EQ(s->SetOption(id, text.data(), static_cast<uint32_t>(text.size())), kZdlOk);
    char back[256] = {};
    uint32_t size = sizeof back;
    EXPECT_EQ(s->GetOption(id, back, &size), kZdlOk);
    EXPECT_EQ(std::string(back, size), text);
  }
  EXPECT_EQ(session->SetOption(42, "x", 1), kZdlInvalidArg);
  uint32_t speed = 16 * kKiB;  // twenty seconds for the file
  ASSERT_EQ(session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed), kZdlOk);
  for (IZDownloadSession* s : {session, stalled, proxied}) ASSERT_EQ(s->Start(), kZdlOk);
  for (uint64_t got = 0; got == 0; std::this_thread::sleep_for(5ms)) {
    session->GetStatus(nullptr, nullptr, &got, nullptr, nullptr);
  }
  speed = 0;
  EXPECT_EQ(session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed), kZdlOk);
  const uint8_t overwrite = 1;
  EXPECT_EQ(session->SetOption(kZdlOptionOverwrite, &overwrite, 1), kZdlWrongState);
  const uint32_t seconds = 1;
  EXPECT_EQ(stalled->SetOption(kZdlOptionTransferTimeout, &seconds, sizeof seconds), kZdlOk);
  const SessionEnd end = WaitForEnd(session, 30s), timedOut = WaitForEnd(stalled, 30s);
  EXPECT_EQ(end.result, kZdlResultSuccess);
  EXPECT_LT(end.took, 10s);
  EXPECT_EQ(end.info.totalBytes, kNew.size());
  EXPECT_TRUE(ReadFile(dir_ / "data.bin") == kNew);  // named after the URL
  EXPECT_EQ(timedOut.result, kZdlResultTimeout);
  EXPECT_EQ(timedOut.downloaded, 1000u);
  EXPECT_LT(timedOut.took, 10s);
  EXPECT_EQ(WaitForEnd(proxied).result, kZdlResultNetwork);
  for (IZDownloadSession* s : {session, stalled, proxied}) s->Release();
  EXPECT_EQ(server_.RequestCount("/data.bin"), 1u);
  EXPECT_EQ(server_.Requests("/data.bin").back().Header("User-Agent"), agent);
}

// The save folder and the subfolders of a name are made (an empty file is a file too); a name
// leading out of the folder is refused at once.
TEST_F(EngineTest, NamesStayInTheSaveFolder) {
  server_.AddFile("/pkg/patch:1.bin", kNew);
  server_.AddFile("/empty", "");
  EXPECT_EQ(Download(server_.Url("/empty"), dir_, "empty.bin").result, kZdlResultSuccess);
  EXPECT_TRUE(fs::exists(dir_ / "empty.bin") && fs::is_empty(dir_ / "empty.bin"));
  const fs::path nested = dir_ / "a" / "b";
  EXPECT_EQ(Download(server_.Url("/pkg/patch:1.bin?sig=abc/def#frag"), nested, "").result,
            kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(nested / "patch_1.bin") == kNew);
  EXPECT_EQ(Download(server_.Url("/pkg/patch:1.bin"), nested, "data/sub/p.bin").result,
            kZdlResultSuccess);
  EXPECT_TRUE(ReadFile(nested / "data" / "sub" / "p.bin") == kNew);
  for (const char* bad : {"../escape.bin", "/abs.bin", "c:x.bin", "x.bin:s", "nul/x.bin"}) {
    IZDownloadSession* session = nullptr;
    EXPECT_EQ(downloads_->CreateSession(server_.Url("/x").c_str(), nullptr,
                                        Wide(nested.string()).c_str(), Wide(bad).c_str(), &session),
              kZdlInvalidArg)
        << bad;
    EXPECT_EQ(session, nullptr);
  }
}

}  // namespace
}  // namespace testing
}  // namespace zdl
