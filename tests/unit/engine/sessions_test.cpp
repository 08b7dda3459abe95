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

Script Answer(int status, Headers headers, const std::string& body = "") {
  headers.emplace_back("Connection", "close");
  return Script{{ScriptedServer::Head(status, headers) + body}};
}
Script Whole(const std::string& etag, Headers extra = {}) {
  extra.emplace_back("Content-Length", std::to_string(kNew.size()));
  if (!etag.empty()) extra.emplace_back("ETag", etag);
  return Answer(200, extra, kNew);
}
// kNew from `first` on; `validator` as an ETag, or as Last-Modified when it is a date.
Script Partial(size_t first, const std::string& validator) {
  Headers headers = {
      {"Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(kNew.size() - 1) +
                            "/" + std::to_string(kNew.size())},
      {"Content-Length", std::to_string(kNew.size() - first)}};
  if (!validator.empty())
    headers.emplace_back(validator[0] == '"' ? "ETag" : "Last-Modified", validator);
  return Answer(206, headers, kNew.substr(first));
}
Script Unsatisfiable(const std::string& etag) {
  Headers headers = {{"Content-Range", "bytes */" + std::to_string(kNew.size())},
                     {"Content-Length", "0"}};
  if (!etag.empty()) headers.emplace_back("ETag", etag);
  return Answer(416, headers);
}
size_t RangeStart(const RawRequest& r) { return std::stoul(r.Header("range").substr(6)); }
// Honours Range only with the If-Range of the current version.
Script Honest(const RawRequest& r) {
  if (r.Header("range").empty() || r.Header("if-range") != "\"v2\"") return Whole("\"v2\"");
  return Partial(RangeStart(r), "\"v2\"");
}
// A 416 without validator for a Range at the file's end, the last byte on asking for it.
Script EndAsked(const RawRequest& r) {
  if (r.Header("range").empty()) return Whole("\"v2\"");
  if (RangeStart(r) == kNew.size()) return Unsatisfiable("");
  return Partial(RangeStart(r), "\"v2\"");
}
Script Status(int status) { return Answer(status, {{"Content-Length", "0"}}); }

enum class Check {
  kNone,
  kResumed,
  kWholeAnswer,
  kNotAsked,
  kOneRequest,
  kConfirmed,
  kRestarted,
  kPartKept,
  kRoomGivenBack,
  kNotFetched,
  kIdentity
};

struct Case {
  const char* name;
  std::string part;  // of an earlier run, with its .part.meta (none when empty)
  std::string meta;
  std::function<Script(const RawRequest&)> answer;
  int32_t result, extended;  // extended checked when not -1
  bool partLeft;
  Check check;
  std::string manifest = "";
  std::function<void(const fs::path& save)> trap = nullptr;  // may point at dir/victim, dir/outside
  std::string name_ = "game.pak";
  bool overwrite = false;
};

class Sessions : public EngineTest, public ::testing::WithParamInterface<Case> {};

const std::string kBom = "\xEF\xBB\xBF";
const auto kHuge = [](const RawRequest&) {  // 1 PiB: beyond any free space here
  return Script{{ScriptedServer::Head(200, {{"Content-Length", "1125899906842624"}})},
                {"", ScriptStep::kHold}};
};
const Case kCases[] = {
    {"RangeOfTheSameVersionResumes", kNew.substr(0, kCut), "\"v2\"\n", Honest, kZdlResultSuccess, 0,
     false, Check::kResumed},
    {"LastModifiedOfTheSameVersionResumes", kNew.substr(0, kCut), kDate + "\n",
     [](const RawRequest& r) { return Partial(RangeStart(r), kDate); }, kZdlResultSuccess, 0, false,
     Check::kResumed},
    {"IfRangeOfAnotherVersionGetsTheWholeFile", kOld.substr(0, kCut), "\"v1\"\n", Honest,
     kZdlResultSuccess, 0, false, Check::kWholeAnswer},
    {"PartWithoutValidatorIsNotResumed", kNew.substr(0, kCut), "", Honest, kZdlResultSuccess, 0,
     false, Check::kNotAsked},
    {"OverwriteDiscardsThePart", kNew.substr(0, kCut), "\"v2\"\n", Honest, kZdlResultSuccess, 0,
     false, Check::kNotAsked, "", nullptr, "game.pak", true},
    // A server that honours Range but ignores If-Range sends the rest of another version.
    {"RangeOfAnotherVersionRestartsFromZero", kOld.substr(0, kCut), "\"v1\"\n",
     [](const RawRequest& r) {
       return r.Header("range").empty() ? Whole("\"v2\"") : Partial(kCut, "\"v2\"");
     },
     kZdlResultSuccess, 0, false, Check::kRestarted},
    // A part as long as the changed file is not that file.
    {"UnsatisfiableForAnotherVersionRestarts", kOld, "\"v1\"\n",
     [](const RawRequest& r) {
       return r.Header("range").empty() ? Whole("\"v2\"") : Unsatisfiable("\"v2\"");
     },
     kZdlResultSuccess, 0, false, Check::kRestarted},
    {"UnsatisfiableForTheSameVersionIsDone", kNew, "\"v2\"\n",
     [](const RawRequest&) { return Unsatisfiable("\"v2\""); }, kZdlResultSuccess, 0, false,
     Check::kOneRequest},
    // nginx sends no validator with a 416: the last byte asked with If-Range decides.
    {"UnsatisfiableWithoutValidatorIsConfirmedByTheLastByte", kNew, "\"v2\"\n", EndAsked,
     kZdlResultSuccess, 0, false, Check::kConfirmed},
    {"UnsatisfiableWithoutValidatorForAnotherVersionRestarts", kOld, "\"v1\"\n", EndAsked,
     kZdlResultSuccess, 0, false, Check::kRestarted},
    {"ClaimBeyondFreeSpaceFailsAndKeepsAnEarlierPart", kNew.substr(0, kCut), "\"v2\"\n", kHuge,
     kZdlResultFileSystem, kZdlExtClaimExceedsSpace, true, Check::kPartKept},
    // 64 MiB announced, 256 KiB sent: the room reserved for the rest is given back.
    {"CutTransferGivesBackItsReservation", "", "",
     [](const RawRequest&) {
       return Answer(200, {{"Content-Length", std::to_string(64 << 20)}, {"ETag", "\"big\""}},
                     kNew.substr(0, 256 * kKiB));
     },
     kZdlResultNetwork, -1, true, Check::kRoomGivenBack},
    {"EncodedBodyIsThatUrlsFailure", "", "",
     [](const RawRequest&) {
       return Whole("\"v2\"", {{"Content-Encoding", "gzip"}});
     },
     kZdlResultServer, 0, false, Check::kIdentity},
    {"NotFoundLeavesNoEmptyPart", "", "", [](const RawRequest&) { return Status(404); },
     kZdlResultNotFound, 404, false, Check::kNone},
    {"ServerError", "", "", [](const RawRequest&) { return Status(500); }, kZdlResultServer, 500,
     false, Check::kNone},
    // The manifest decides the file: a wrong digest discards it, no line (or lines the URL cannot
    // tell apart) fails before any byte is fetched.
    {"ManifestLineMatches", "", "", Honest, kZdlResultSuccess, 0, false, Check::kNone,
     kBom + kDigest + " *game.pak\r\n0123456789abcdef0123456789abcdef  other.bin\r\n"},
    {"ManifestDigestIsWrong", "", "", Honest, kZdlResultChecksum, 0, false, Check::kOneRequest,
     kWrong + "  game.pak\n"},
    {"ManifestHasNoLineForTheFile", "", "", Honest, kZdlResultChecksum, 0, false,
     Check::kNotFetched, kDigest + "  other.pak\n"},
    {"ManifestLinesTheUrlCannotTellApart", "", "", Honest, kZdlResultChecksum,
     kZdlExtChecksumAmbiguous, false, Check::kNotFetched,
     kWrong + "  x86/game.pak\n" + kDigest + "  x64/game.pak\n"},
    {"PartIsALinkToAnotherFile", "", "", Honest, kZdlResultFileSystem, kZdlExtAccessDenied, true,
     Check::kNone, "",
     [](const fs::path& save) { fs::create_symlink(save / "../victim", save / "game.pak.part"); }},
    {"PartHasASecondName", "", "", Honest, kZdlResultFileSystem, kZdlExtAccessDenied, true,
     Check::kNone, "",
     [](const fs::path& save) {
       fs::create_hard_link(save / "../victim", save / "game.pak.part");
     }},
    {"PartIsAFifo", "", "", Honest, kZdlResultFileSystem, kZdlExtAccessDenied, true, Check::kNone,
     "",
     [](const fs::path& save) { ASSERT_EQ(::mkfifo((save / "game.pak.part").c_str(), 0600), 0); }},
    // Followed, the link's target (the validator) would be sent as If-Range and the part resumed.
    {"MetaIsALinkToAValidator", kNew.substr(0, kCut), "", Honest, kZdlResultSuccess, 0, false,
     Check::kNotAsked, "",
     [](const fs::path& save) {
       fs::remove(save / "game.pak.part.meta");
       fs::create_symlink(save / "../victim", save / "game.pak.part.meta");
     }},
    {"MetaOfTwoLinesInjectsNothing", kNew.substr(0, kCut), "\"v2\"\r\nX-Injected: 1\n", Honest,
     kZdlResultSuccess, 0, false, Check::kNotAsked},
    {"FolderOfTheNameIsALink", "", "", Honest, kZdlResultFileSystem, kZdlExtAccessDenied, false,
     Check::kNone, "",
     [](const fs::path& save) { fs::create_directory_symlink(save / "../outside", save / "data"); },
     "data/game.pak"},
};

TEST_P(Sessions, EndSoundly) {
  const Case& c = GetParam();
  ScriptedServer server(c.answer);
  ASSERT_TRUE(server.Start());
  const fs::path save = dir_ / "save", part = save / (c.name_ + ".part");
  const fs::path meta = save / (c.name_ + ".part.meta");
  fs::create_directories(save);
  fs::create_directories(dir_ / "outside");
  WriteFile(dir_ / "victim", "\"v2\"\n");
  if (!c.part.empty()) WriteFile(part, c.part), WriteFile(meta, c.meta);
  if (!c.manifest.empty()) WriteFile(dir_ / "sums.md5", c.manifest);
  if (c.trap) c.trap(save);
  const std::string manifest = c.manifest.empty() ? "" : (dir_ / "sums.md5").string();
  // A blocked open() would hold the session: bounded (a FIFO is never opened for reading).
  IZDownloadSession* session = NewSession(server.Url("/files/game.pak"), save, c.name_, manifest);
  ASSERT_NE(session, nullptr);
  const uint8_t overwrite = c.overwrite;
  EXPECT_EQ(session->SetOption(kZdlOptionOverwrite, &overwrite, 1), kZdlOk);
  ASSERT_EQ(session->Start(), kZdlOk);
  const SessionEnd end = WaitForEnd(session, 20s);
  session->Release();
  server.Stop();

  EXPECT_EQ(end.result, c.result);
  EXPECT_TRUE(c.extended == -1 || end.extended == c.extended) << end.extended;
  EXPECT_EQ(ReadFile(save / c.name_) == kNew, c.result == kZdlResultSuccess);
  EXPECT_TRUE(c.result == kZdlResultSuccess || !fs::exists(save / c.name_));
  EXPECT_EQ(fs::exists(part), c.partLeft);
  EXPECT_TRUE(c.partLeft || !fs::exists(meta));
  EXPECT_EQ(ReadFile(dir_ / "victim"), "\"v2\"\n") << "a file outside the save folder changed";
  EXPECT_TRUE(fs::is_empty(dir_ / "outside"));

  const auto requests = server.Requests();
  for (const RawRequest& r : requests) EXPECT_EQ(r.Header("x-injected"), "");
  const std::string rangeOfCut = "bytes=" + std::to_string(kCut) + "-";
  switch (c.check) {
    case Check::kRestarted:
      EXPECT_EQ(end.info.resumedFrom, 0u);
      EXPECT_EQ(requests.back().Header("range"), "");
      break;
    case Check::kResumed:
      EXPECT_EQ(end.info.resumedFrom, kCut);
      EXPECT_EQ(end.downloaded, kNew.size());
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].Header("range"), rangeOfCut);
      EXPECT_EQ(requests[0].Header("if-range") + "\n", c.meta);
      break;
    case Check::kWholeAnswer:  // asked for the rest with the part's validator; the 200 replaced it
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].Header("range"), rangeOfCut);
      EXPECT_EQ(requests[0].Header("if-range") + "\n", c.meta);
      EXPECT_EQ(end.info.resumedFrom, 0u);
      break;
    case Check::kNotAsked:
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].Header("range"), "");
      EXPECT_EQ(requests[0].Header("if-range"), "");
      EXPECT_EQ(end.info.resumedFrom, 0u);
      break;
    case Check::kOneRequest:
      EXPECT_EQ(requests.size(), 1u);
      break;
    case Check::kConfirmed:
      ASSERT_EQ(requests.size(), 2u);
      EXPECT_EQ(requests[1].Header("range"), "bytes=" + std::to_string(kNew.size() - 1) + "-");
      EXPECT_EQ(requests[1].Header("if-range"), "\"v2\"");
      EXPECT_EQ(end.info.resumedFrom, kNew.size());
      break;
    case Check::kPartKept:
      EXPECT_TRUE(ReadFile(part) == c.part) << "an earlier run's part was touched";
      EXPECT_TRUE(fs::exists(meta));
      break;
    case Check::kRoomGivenBack: {
      struct stat st {};
      ASSERT_EQ(::stat(part.c_str(), &st), 0);
      EXPECT_EQ(static_cast<uint64_t>(st.st_size), 256 * kKiB);
      EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 4u << 20)
          << "room kept for the unsent rest";
      break;
    }
    case Check::kIdentity:
      EXPECT_EQ(requests[0].Header("accept-encoding"), "identity");
      break;
    case Check::kNotFetched:
      EXPECT_TRUE(requests.empty());
      break;
    case Check::kNone:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Sessions, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// Heads that never end: header lines dripping in, "100 Continue" for ever. Both sessions run at
// once and must fail as network errors once the connect time-out and 30 s have passed.
TEST_F(EngineTest, EndlessHeadsFailWithinTheirBound) {
  ScriptedServer server([](const RawRequest& request) {
    Script script{{request.target == "/drip" ? "HTTP/1.1 200 OK\r\n" : "", 500ms}};
    for (int i = 0; i < 200; ++i) {
      script.push_back(
          {request.target == "/drip" ? "X-Drip: 1\r\n" : "HTTP/1.1 100 Continue\r\n\r\n", 500ms});
    }
    return script;
  });
  ASSERT_TRUE(server.Start());
  std::vector<IZDownloadSession*> sessions;
  for (const char* path : {"/drip", "/continue"}) {
    sessions.push_back(NewSession(server.Url(path), dir_, path + 1));
    const uint32_t connect = 1;
    ASSERT_EQ(sessions.back()->SetOption(kZdlOptionConnectTimeout, &connect, sizeof connect),
              kZdlOk);
    ASSERT_EQ(sessions.back()->Start(), kZdlOk);
  }
  for (IZDownloadSession* session : sessions) {
    EXPECT_EQ(WaitForEnd(session, 50s).result, kZdlResultNetwork);
    session->Release();
  }
  EXPECT_FALSE(fs::exists(dir_ / "drip.part"));
}

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

// The save folder and the subfolders of a name are made; a name leading out of the folder is
// refused at once.
TEST_F(EngineTest, NamesStayInTheSaveFolder) {
  server_.AddFile("/pkg/patch:1.bin", kNew);
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

// A body without a length on a 1 MiB tmpfs fills it and fails as a full disk.
TEST_F(EngineTest, FullDisk) {
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "\n*** FULL DISK NOT TESTED: mounting a tmpfs needs root";
  }
  ScriptedServer server([](const RawRequest&) {
    return Script{{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + kNew + kNew + kNew + kNew}};
  });
  ASSERT_TRUE(server.Start());
  const SessionEnd end = Download(server.Url("/unknown"), small, "unknown.bin");
  server.Stop();
  ::umount2(small.c_str(), MNT_DETACH);
  EXPECT_EQ(end.result, kZdlResultFileSystem);
  EXPECT_EQ(end.extended, kZdlExtDiskFull);
}

}  // namespace
}  // namespace testing
}  // namespace zdl
