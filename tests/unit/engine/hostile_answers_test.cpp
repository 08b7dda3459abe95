// Sessions and requests against a scripted hostile server: answers that lie about the file, its
// range, its length or its encoding, and heads that never end. Nothing corrupt may become the
// file, nothing of the disk may stay taken, nothing may hold a session for ever.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <thread>

#include "engine_test_support.h"
#include "scripted_server.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::RawRequest;
using lumo::services::Script;
using lumo::services::ScriptedServer;
using lumo::services::ScriptStep;
using namespace std::chrono_literals;

constexpr size_t kKiB = 1024;
constexpr char kName[] = "game.pak";

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A whole-file answer.
Script Whole(const std::string& body, const std::string& etag,
             std::vector<std::pair<std::string, std::string>> extra = {}) {
  extra.emplace_back("Content-Length", std::to_string(body.size()));
  if (!etag.empty()) extra.emplace_back("ETag", etag);
  extra.emplace_back("Connection", "close");
  return Script{{ScriptedServer::Head(200, extra) + body}};
}

// The bytes from `first` on, claimed as the continuation of a file of `body.size()` bytes.
Script Partial(const std::string& body, size_t first, const std::string& etag) {
  std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(body.size() - 1) +
                            "/" + std::to_string(body.size())},
      {"Content-Length", std::to_string(body.size() - first)},
      {"Connection", "close"}};
  if (!etag.empty()) headers.emplace_back("ETag", etag);
  return Script{{ScriptedServer::Head(206, headers) + body.substr(first)}};
}

Script Unsatisfiable(size_t total, const std::string& etag) {
  std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Range", "bytes */" + std::to_string(total)},
      {"Content-Length", "0"},
      {"Connection", "close"}};
  if (!etag.empty()) headers.emplace_back("ETag", etag);
  return Script{{ScriptedServer::Head(416, headers)}};
}

// A 416 without validator for a Range at the file's end, the last byte on asking for it.
Script EndAsked(const std::string& body, const RawRequest& r, const std::string& etag) {
  const std::string range = r.Header("range");
  if (range.empty()) return Whole(body, etag);
  if (range == "bytes=" + std::to_string(body.size()) + "-") return Unsatisfiable(body.size(), "");
  return Partial(body, std::stoul(range.substr(6)), etag);
}

// One row of the table: what lies in the save folder before, how the server answers, what the
// session must end with and leave behind.
struct HostileCase {
  const char* name;
  std::string part;  // bytes of a .part from an earlier run (none when empty)
  std::string meta;  // its .part.meta
  std::function<Script(const RawRequest&)> answer;
  int32_t result;
  int32_t extended;   // checked when not -1
  std::string file;   // the final file's bytes on success
  bool partLeft;      // a .part remains afterwards
  std::string check;  // a named extra check, see the test body
  bool overwrite = false;
};

class HostileAnswersTest : public EngineTest, public ::testing::WithParamInterface<HostileCase> {};

const std::string kOld = RandomBytes(300 * kKiB, 41);
const std::string kNew = RandomBytes(300 * kKiB, 42);
const size_t kCut = 120 * kKiB;

// Honours Range only with the If-Range of the current version.
Script Honest(const RawRequest& r) {
  const std::string range = r.Header("range");
  if (range.empty() || r.Header("if-range") != "\"v2\"") return Whole(kNew, "\"v2\"");
  return Partial(kNew, std::stoul(range.substr(6)), "\"v2\"");
}

const HostileCase kCases[] = {
    {"RangeOfTheSameVersionResumes", kNew.substr(0, kCut), "\"v2\"\n", Honest, kZdlResultSuccess, 0,
     kNew, false, "resumed"},
    {"IfRangeOfAnotherVersionGetsTheWholeFile", kOld.substr(0, kCut), "\"v1\"\n", Honest,
     kZdlResultSuccess, 0, kNew, false, "whole answer"},
    {"PartWithoutValidatorIsNotResumed", kNew.substr(0, kCut), "", Honest, kZdlResultSuccess, 0,
     kNew, false, "not asked"},
    {"OverwriteDiscardsThePart", kNew.substr(0, kCut), "\"v2\"\n", Honest, kZdlResultSuccess, 0,
     kNew, false, "not asked", true},
    {"RangeIgnoredRestartsCleanly", kNew.substr(0, kCut), "\"v2\"\n",
     [](const RawRequest&) { return Whole(kNew, "\"v2\""); }, kZdlResultSuccess, 0, kNew, false,
     "whole answer"},
    // A server that honours Range but ignores If-Range sends the rest of another version.
    {"RangeOfAnotherVersionRestartsFromZero", kOld.substr(0, kCut), "\"v1\"\n",
     [](const RawRequest& r) {
       return r.Header("range").empty() ? Whole(kNew, "\"v2\"") : Partial(kNew, kCut, "\"v2\"");
     },
     kZdlResultSuccess, 0, kNew, false, "restarted"},
    {"RangeWithoutValidatorRestartsFromZero", kOld.substr(0, kCut), "\"v1\"\n",
     [](const RawRequest& r) {
       return r.Header("range").empty() ? Whole(kNew, "") : Partial(kNew, kCut, "");
     },
     kZdlResultSuccess, 0, kNew, false, "restarted"},
    // A part as long as the changed file is not that file.
    {"UnsatisfiableForAnotherVersionRestarts", kOld, "\"v1\"\n",
     [](const RawRequest& r) {
       return r.Header("range").empty() ? Whole(kNew, "\"v2\"")
                                        : Unsatisfiable(kNew.size(), "\"v2\"");
     },
     kZdlResultSuccess, 0, kNew, false, "restarted"},
    {"UnsatisfiableForTheSameVersionIsDone", kNew, "\"v2\"\n",
     [](const RawRequest&) { return Unsatisfiable(kNew.size(), "\"v2\""); }, kZdlResultSuccess, 0,
     kNew, false, "one request"},
    // nginx sends no validator with a 416: the last byte asked with If-Range decides.
    {"UnsatisfiableWithoutValidatorIsConfirmedByTheLastByte", kNew, "\"v2\"\n",
     [](const RawRequest& r) { return EndAsked(kNew, r, "\"v2\""); }, kZdlResultSuccess, 0, kNew,
     false, "confirmed"},
    {"UnsatisfiableWithoutValidatorForAnotherVersionRestarts", kOld, "\"v1\"\n",
     [](const RawRequest& r) { return EndAsked(kNew, r, "\"v2\""); }, kZdlResultSuccess, 0, kNew,
     false, "restarted"},
    // 1 PiB: beyond any free space here (and any ext4 file).
    {"ClaimBeyondFreeSpaceFailsWithoutReserving", "", "",
     [](const RawRequest&) {
       return Script{{ScriptedServer::Head(200, {{"Content-Length", "1125899906842624"}})},
                     {"", ScriptStep::kHold}};
     },
     kZdlResultFileSystem, kZdlExtClaimExceedsSpace, "", false, ""},
    {"ClaimBeyondFreeSpaceKeepsAnEarlierPart", kNew.substr(0, kCut), "\"v2\"\n",
     [](const RawRequest&) {
       return Script{{ScriptedServer::Head(200, {{"Content-Length", "1125899906842624"}})},
                     {"", ScriptStep::kHold}};
     },
     kZdlResultFileSystem, kZdlExtClaimExceedsSpace, "", true, "part kept"},
    // 64 MiB announced, 256 KiB sent: the room reserved for the rest is given back.
    {"CutTransferGivesBackItsReservation", "", "",
     [](const RawRequest&) {
       return Script{{ScriptedServer::Head(200, {{"Content-Length", std::to_string(64 << 20)},
                                                 {"ETag", "\"big\""}}) +
                      RandomBytes(256 * kKiB, 43)}};
     },
     kZdlResultNetwork, -1, "", true, "reservation given back"},
    {"EncodedBodyIsThatUrlsFailure", "", "",
     [](const RawRequest&) {
       return Whole(kNew, "\"v2\"", {{"Content-Encoding", "gzip"}});
     },
     kZdlResultServer, 0, "", false, "asked for identity"},
    {"NotFoundLeavesNoEmptyPart", "", "",
     [](const RawRequest&) {
       return Script{
           {ScriptedServer::Head(404, {{"Content-Length", "0"}, {"Connection", "close"}})}};
     },
     kZdlResultNotFound, 404, "", false, ""},
    {"NotFoundKeepsAnEarlierPart", kNew.substr(0, kCut), "\"v2\"\n",
     [](const RawRequest&) {
       return Script{
           {ScriptedServer::Head(404, {{"Content-Length", "0"}, {"Connection", "close"}})}};
     },
     kZdlResultNotFound, 404, "", true, "part kept"},
};

TEST_P(HostileAnswersTest, EndsSoundly) {
  const HostileCase& c = GetParam();
  ScriptedServer server(c.answer);
  ASSERT_TRUE(server.Start());
  const fs::path part = dir_ / (std::string(kName) + ".part");
  const fs::path meta = dir_ / (std::string(kName) + ".part.meta");
  if (!c.part.empty()) WriteBytes(part, c.part);
  if (!c.meta.empty()) WriteBytes(meta, c.meta);

  SessionEnd end = Download(server.Url("/files/game.pak"), dir_, kName, "", 0, c.overwrite);
  server.Stop();

  EXPECT_EQ(end.result, c.result);
  if (c.extended != -1) {
    EXPECT_EQ(end.extended, c.extended);
  }
  EXPECT_LT(end.took, 20s);
  if (c.result == kZdlResultSuccess) {
    EXPECT_TRUE(ReadFile(dir_ / kName) == c.file) << "the saved file is not the server's file";
  } else {
    EXPECT_FALSE(fs::exists(dir_ / kName));
  }
  EXPECT_EQ(fs::exists(part), c.partLeft);
  if (!c.partLeft) {
    EXPECT_FALSE(fs::exists(meta));
  }

  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  const std::string check = c.check;
  if (check == "restarted") {
    EXPECT_EQ(end.info.resumedFrom, 0u);
    EXPECT_TRUE(requests.back().Header("range").empty());
  } else if (check == "resumed") {
    EXPECT_EQ(end.info.resumedFrom, kCut);
    EXPECT_EQ(end.downloaded, kNew.size());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("range"), "bytes=" + std::to_string(kCut) + "-");
    EXPECT_EQ(requests[0].Header("if-range"), "\"v2\"");
  } else if (check == "whole answer") {
    // Asked for the rest with the part's validator; the 200 answer replaced the part.
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("range"), "bytes=" + std::to_string(kCut) + "-");
    EXPECT_EQ(requests[0].Header("if-range") + "\n", c.meta);
    EXPECT_EQ(end.info.resumedFrom, 0u);
  } else if (check == "not asked") {
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("range"), "");
    EXPECT_EQ(end.info.resumedFrom, 0u);
  } else if (check == "one request") {
    EXPECT_EQ(requests.size(), 1u);
  } else if (check == "confirmed") {
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Header("range"), "bytes=" + std::to_string(kNew.size() - 1) + "-");
    EXPECT_EQ(requests[1].Header("if-range"), "\"v2\"");
    EXPECT_EQ(end.info.resumedFrom, kNew.size());
  } else if (check == "part kept") {
    EXPECT_TRUE(ReadFile(part) == c.part) << "an earlier run's part was touched";
    EXPECT_TRUE(fs::exists(meta));
  } else if (check == "reservation given back") {
    struct stat st {};
    ASSERT_EQ(::stat(part.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 256 * kKiB);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 4u << 20)
        << "blocks reserved for the unsent rest are still taken";
  } else if (check == "asked for identity") {
    EXPECT_EQ(requests[0].Header("accept-encoding"), "identity");
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileAnswersTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

// Heads that never end: header lines dripping in, "100 Continue" for ever. Both sessions run at
// once and must fail as network errors once the connect time-out and 30 s have passed.
TEST_F(EngineTest, EndlessHeadsFailWithinTheirBound) {
  ScriptedServer server([](const RawRequest& request) {
    Script script;
    if (request.target == "/drip") {
      script.push_back({"HTTP/1.1 200 OK\r\n", 500ms});
      for (int i = 0; i < 200; ++i)
        script.push_back({"X-Drip: " + std::to_string(i) + "\r\n", 500ms});
    } else {
      for (int i = 0; i < 200; ++i) script.push_back({"HTTP/1.1 100 Continue\r\n\r\n", 500ms});
    }
    return script;
  });
  ASSERT_TRUE(server.Start());
  std::vector<IZDownloadSession*> sessions;
  for (const char* path : {"/drip", "/continue"}) {
    IZDownloadSession* session = NewSession(server.Url(path), dir_, path + 1);
    ASSERT_NE(session, nullptr);
    uint32_t connect = 1;
    ASSERT_EQ(session->SetOption(kZdlOptionConnectTimeout, &connect, sizeof connect), kZdlOk);
    ASSERT_EQ(session->Start(), kZdlOk);
    sessions.push_back(session);
  }
  for (IZDownloadSession* session : sessions) {
    SessionEnd end = WaitForEnd(session, 50s);
    EXPECT_EQ(end.status, kZdlStatusError);
    EXPECT_EQ(end.result, kZdlResultNetwork);
    session->Release();
  }
  server.Stop();
  EXPECT_FALSE(fs::exists(dir_ / "drip.part"));
}

// The HTTP service: status and body as sent, and an answer that is not whole is said to be so
// before OnComplete.
struct RequestCase {
  const char* name;
  Script script;
  std::vector<std::string> calls;
  std::string body;
};

class IncompleteAnswerTest : public EngineTest,
                             public ::testing::WithParamInterface<RequestCase> {};

const RequestCase kRequestCases[] = {
    {"Whole",
     {{ScriptedServer::Head(200, {{"Content-Length", "9"}}) + "10.0.0.1 "}},
     {"begin", "status 200", "data", "complete"},
     "10.0.0.1 "},
    {"ErrorStatusWithItsBody",
     {{ScriptedServer::Head(404, {{"Content-Length", "4"}}) + "gone"}},
     {"begin", "status 404", "data", "complete"},
     "gone"},
    {"ShortOfItsLength",
     {{ScriptedServer::Head(200, {{"Content-Length", "91"}}) + "10.0.0.1 ", 100ms}},
     {"begin", "status 200", "data", "incomplete 3", "complete"},
     "10.0.0.1 "},
    {"Encoded",
     {{ScriptedServer::Head(200, {{"Content-Length", "9"}, {"Content-Encoding", "gzip"}}) +
       "\x1f\x8b\x08xxxxxx"}},
     {"begin", "status 200", "data", "incomplete 6", "complete"},
     "\x1f\x8b\x08xxxxxx"},
    {"NoAnswer", {{"", 100ms}}, {"begin", "incomplete 3", "complete"}, ""},
};

TEST_P(IncompleteAnswerTest, HandlerHearsIt) {
  const Script script = GetParam().script;
  ScriptedServer server([script](const RawRequest&) { return script; });
  ASSERT_TRUE(server.Start());
  auto* handler = new RecordingHandler();
  handler->AddRef();
  IZHttpRequest* request = nullptr;
  ASSERT_EQ(http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet,
                                 server.Url("/?ws_domain=x").c_str(), handler, 0, &request),
            kZdlOk);
  ASSERT_EQ(request->Send(), kZdlOk);
  EXPECT_TRUE(handler->WaitComplete(10s));
  request->Release();  // held until the end: giving a request up cancels it
  EXPECT_EQ(handler->Calls(), GetParam().calls);
  EXPECT_EQ(handler->Body(), GetParam().body);
  ASSERT_FALSE(server.Requests().empty());
  EXPECT_EQ(server.Requests()[0].target, "/?ws_domain=x");
  EngineTerm();  // every engine thread has ended: the engine's reference is gone
  EXPECT_EQ(handler->refs(), 1u);
  handler->Release();
  server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Answers, IncompleteAnswerTest, ::testing::ValuesIn(kRequestCases),
                         [](const ::testing::TestParamInfo<RequestCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace testing
}  // namespace zdl
