// The downloader object the host holds: interfaces, option table, argument checks, control
// words, the telemetry it starts, and pause, resume and stop against the worker; the binding of
// the engine library and the module's log lines beneath it.
#include "module/downloader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <tuple>

#include "base/log.h"
#include "base/text_conversion.h"
#include "module/engine_binding.h"
#include "module/engine_loader.h"
#include "support/fake_engine.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

using testing::FakePoll;
using testing::FakeSessionScript;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
const char kA[] = "http://127.0.0.1/a.bin";
const char kB[] = "http://127.0.0.1/b.bin";

Timing ShortTiming(bool slow = false) {
  Timing t = Timing::Scaled(1000);
  t.destructorWait = std::chrono::milliseconds(3000);
  // Polls of a minute: only the wake-ups of the host's calls and the looks move the worker.
  if (slow) t.workerPoll = t.sessionPoll = std::chrono::minutes(1);
  return t;
}

// A failed transfer; without a result, one that never ends by itself (no stall check with polls
// of a minute).
FakeSessionScript Fails(int32_t result = 0, int32_t extendedCode = 0) {
  FakeSessionScript script;
  script.polls = {result ? FakePoll{kZdlStatusError, 0, 0, 0, 0}
                         : FakePoll{kZdlStatusDownloading, 1000, 1, 1, 1}};
  script.result = result;
  script.extendedCode = extendedCode;
  return script;
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
const LumoWChar* W(const std::u16string& s) {
  return reinterpret_cast<const LumoWChar*>(s.c_str());
}

// An engine binding over the in-process fake engine; Bind answers bindCode.
struct FakeBinding final : EngineBinding {
  explicit FakeBinding(testing::FakeEngine& e) : engine(e) {}
  int32_t Bind(std::string* errorText) override {
    loaded = true;
    if (bindCode < 0 && errorText != nullptr) *errorText = "bind failed";
    return bindCode;
  }
  IZDownloadService* DownloadService() const override { return engine.DownloadService(); }
  IZHttpService* HttpService() const override { return engine.HttpService(); }
  void ReleaseAndTerminate() override {
    ++terminations;
    engine.Terminate();
  }
  bool IsLoaded() const override { return loaded; }
  testing::FakeEngine& engine;
  int32_t bindCode = 0;
  int terminations = 0;
  bool loaded = false;
};

// A downloader as the module makes it: the process's reporter is not attached until the
// downloader binds the engine.
struct Host {
  explicit Host(int32_t bindCode = 0, bool slow = false)
      : reporter(nullptr, "", ShortTiming(slow)) {
    reporter.Stop();
    binding.bindCode = bindCode;
    d = new LumoDownloader(binding, reporter, ShortTiming(slow), Endpoints{});
    d->AddRef();
    initCode = d->Initialize(&initText);
  }
  ~Host() {
    if (d != nullptr) d->Release();
  }
  int32_t Add(const std::vector<const char*>& urls = {kA}) {
    return d->AddDownload(urls.data(), static_cast<uint32_t>(urls.size()), W(dir), nullptr, nullptr,
                          0, nullptr);
  }
  bool WaitIdle() {
    return engine.WaitUntil([this] { return d->RunState() == kLumoRunStateIdle; });
  }
  bool WaitCalls(const char* prefix, size_t n, int ms = 5000) {
    return engine.WaitUntil([&] { return engine.CountCalls(prefix) >= n; },
                            std::chrono::milliseconds(ms));
  }
  // The host's last Release: prompt, the engine terminated once and not called afterwards.
  void ReleaseLast() {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(d->Release(), 0u);
    d = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
    EXPECT_EQ(binding.terminations, 1);
    EXPECT_EQ(engine.Seen().callsAfterTerm, 0u);
  }
  testing::FakeEngine engine;
  FakeBinding binding{engine};
  Reporter reporter;
  LumoDownloader* d = nullptr;
  int32_t initCode = 0;
  std::string initText;
  const std::u16string dir = U16(testing::TestDir().string());
};

TEST(Downloader, InterfacesAndFileResults) {
  Host h;
  ASSERT_EQ(h.initCode, 0);
  const LumoGuid other = {0x12345678, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(h.d->QueryInterface(&other, &out), kNoInterface);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1));
  ILumoFileResults* results = nullptr;
  ASSERT_EQ(h.d->QueryInterface(&IID_ILumoFileResults, reinterpret_cast<void**>(&results)), 0);
  EXPECT_NE(static_cast<void*>(results), static_cast<void*>(h.d));
  EXPECT_EQ(results->QueryInterface(&other, &out), kNoInterface);
  // The face's own identity is the downloader's.
  void *unknown = nullptr, *self = static_cast<ILumoDownloader*>(h.d);
  EXPECT_EQ(std::make_tuple(results->QueryInterface(&IID_LumoUnknown, &unknown),
                            h.d->QueryInterface(&IID_ILumoDownloader, &out), unknown, out),
            std::make_tuple(0, 0, self, self));
  EXPECT_EQ(h.d->ReferenceCount(), 4);
  EXPECT_EQ(h.d->Release() + h.d->Release() + results->Release(), 3u + 2u + 1u);
  // A queued file is known before it runs, under its local path, and only there.
  ASSERT_EQ(h.Add(), 0);
  uint32_t count = 0, state = 9, average = 0, current = 0;
  uint64_t bytes = 0;
  LumoFileResult result{kLumoFileFailed, 0, 0, 0, 0, 0};
  std::string path;
  LumoString pathText = LumoStringFor(path);
  EXPECT_EQ(results->GetFileResultAt(0, &result, nullptr, &pathText), 0);
  EXPECT_EQ(
      std::make_tuple(result.state, path, results->GetFileCount(&count), count),
      std::make_tuple(uint32_t{kLumoFileQueued},
                      testing::TestDir().string() + platform::kPathSeparator + "a.bin", 0, 1u));
  EXPECT_EQ(
      (std::vector<int32_t>{results->GetFileResult(path.c_str(), &result, nullptr, nullptr),
                            results->GetFileResult("elsewhere.bin", &result, nullptr, nullptr),
                            results->GetFileResultAt(1, &result, nullptr, nullptr),
                            h.d->GetProgress(&state, &bytes, &average, &current, nullptr)}),
      (std::vector<int32_t>{0, kLumoNotFound, kLumoNotFound, 0}));  // no path object: fine
}

// What each option id keeps and gives back: a value is read back only in the size the id
// stores (never past what was set), texts come back through the host's string object only.
TEST(Downloader, OptionTable) {
  Host h;
  LumoDownloader* d = h.d;
  uint8_t buffer[8] = {};
  uint32_t size = sizeof buffer;
  EXPECT_EQ(d->GetOption(0, nullptr, &size), kInvalidArg);
  EXPECT_EQ(d->GetOption(0, buffer, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetOption(0, buffer, &size), kFail) << "never set";
  const uint32_t speed = 0x01020304;
  // Id, value, size set, size asked, the answer and the size given back.
  for (const auto& [id, value, setSize, askSize, answer, gotSize] :
       std::vector<std::tuple<int32_t, const void*, uint32_t, uint32_t, int32_t, uint32_t>>{
           {0, &speed, 4, 8, 0, 4},
           {0, &speed, 4, 2, kFail, 0},
           {1, &speed, 2, 8, kFail, 0},
           {2, "\x01\x02", 2, 8, 0, 1},
           {2, "\x01", 1, 0, kFail, 0},
           {3, "text", 4, 8, kFail, 0},
           {4, "text", 4, 8, kFail, 0},
           {11, &speed, 4, 4, 0, 4}}) {
    EXPECT_EQ(d->SetOption(id, value, setSize), 0) << id;
    std::memset(buffer, 0, sizeof buffer);
    size = askSize;
    EXPECT_EQ(d->GetOption(id, buffer, &size), answer) << id;
    EXPECT_TRUE(answer != 0 || (size == gotSize && std::memcmp(buffer, value, gotSize) == 0)) << id;
  }
  for (int32_t id : {5, 6, 7, 9, 10, 12, 13, -1}) {  // kept, never given back
    EXPECT_EQ(d->SetOption(id, "x", 1), 0) << id;
    EXPECT_EQ(d->GetOption(id, buffer, &size), kInvalidArg) << id;
  }
  // The sid comes back through the host's string object; the count is the stored count.
  EXPECT_EQ(d->SetOption(8, "session-1xyz", 9), 0);
  std::string sid;
  LumoString host = LumoStringFor(sid);
  size = 1;
  EXPECT_EQ(d->GetOption(8, &host, &size), 0);
  EXPECT_EQ(sid + " " + std::to_string(size), "session-1 9");
  // Bytes without a pointer are refused rather than read.
  EXPECT_EQ(d->SetOption(4, nullptr, 3), kInvalidArg);
  EXPECT_EQ(d->SetOption(4, nullptr, 0), 0);
}

TEST(Downloader, AddDownloadChecksItsArguments) {
  Host h;
  const std::u16string longText(260, u'a'), fits(200, u'b'), empty;
  const char* urls[] = {nullptr, kA, nullptr};
  const char* none[] = {nullptr, nullptr};
  const char* sums[] = {kB};
  using S = const std::u16string*;
  size_t queued = 0;
  // URLs and their count, folder, file name, checksum URLs and their count, the answer.
  for (const auto& [list, count, dir, name, sumList, sumCount, answer] : std::vector<
           std::tuple<const char* const*, uint32_t, S, S, const char* const*, uint32_t, int32_t>>{
           {urls, 3, &h.dir, nullptr, nullptr, 0, 0},
           {urls, 3, &h.dir, &fits, sums, 1, 0},
           {none, 2, &h.dir, nullptr, nullptr, 0, kInvalidArg},
           {nullptr, 1, &h.dir, nullptr, nullptr, 0, kInvalidArg},
           {urls, 3, nullptr, nullptr, nullptr, 0, kInvalidArg},
           {urls, 3, &h.dir, nullptr, nullptr, 2, kInvalidArg},
           {urls, 3, &empty, nullptr, nullptr, 0, kInvalidArg},
           {urls, 3, &longText, nullptr, nullptr, 0, kInvalidArg},
           {urls, 3, &h.dir, &longText, nullptr, 0, kInvalidArg}}) {
    EXPECT_EQ(h.d->AddDownload(list, count, dir ? W(*dir) : nullptr, name ? W(*name) : nullptr,
                               sumList, sumCount, nullptr),
              answer);
    queued += answer == 0;
    EXPECT_EQ(h.d->QueuedJobs(), queued) << "refused jobs are never queued";
  }
}

// Before Start, Pause and Resume move the control words; a failed binding refuses what needs the
// worker. Stop is final, before Start or after: the calls that would need the worker are refused
// instead of a success that nothing follows up, and nothing claims to run.
// A host that resumes or resets before its first Start still gets its jobs run by that Start.
TEST(Downloader, ControlWordsAFailedBindingAndCallsRefusedAfterStop) {
  Host h;
  h.engine.SetDefaultSession(FakeSessionScript());
  // In call order: the words before, a pause, its word, a second pause, a resume, the words.
  EXPECT_EQ((std::vector<int64_t>{h.d->RunState(), h.d->ControlState(), h.d->Pause(0),
                                  h.d->ControlState(), h.d->Pause(0), h.d->Resume(),
                                  h.d->ControlState(), h.d->RunState()}),
            (std::vector<int64_t>{0, 0, 0, 2, kAccessDenied, 0, 1, 1}));
  ASSERT_EQ(h.Add(), 0);
  EXPECT_EQ(h.d->ResetProgress(), 0);
  EXPECT_EQ(h.d->Start(), 0);
  EXPECT_TRUE(h.WaitCalls("ReleaseSession", 1));
  ASSERT_TRUE(h.WaitIdle());
  EXPECT_EQ(h.d->Start(), 0) << "idle: a later Start is taken";
  Host failed(kFail);
  EXPECT_EQ(std::make_tuple(failed.initCode, failed.initText, failed.d->HasWorkerThread()),
            std::make_tuple(kFail, std::string("bind failed"), false));
  for (const bool startedFirst : {false, true}) {
    Host s;
    LumoDownloader* d = s.d;
    if (startedFirst) {
      EXPECT_EQ(d->Start(), 0);
      ASSERT_TRUE(s.WaitIdle());
    } else {
      EXPECT_EQ(s.Add(), 0);  // waits in the queue: the worker never ran
    }
    EXPECT_EQ(d->Stop(0), 0);
    const uint32_t runState = d->RunState();
    for (const int32_t answer : {d->Start(), d->Pause(0), d->Resume(), s.Add(), failed.d->Start(),
                                 failed.d->Pause(0), failed.d->Stop(0)})
      EXPECT_EQ(answer, kAccessDenied);
    EXPECT_EQ(d->ResetProgress(), 0);
    EXPECT_NE(d->RunState(), kLumoRunStateRunning);
    EXPECT_EQ(std::make_tuple(d->RunState(), d->ControlState(), d->QueuedJobs()),
              std::make_tuple(runState, 3u, size_t{startedFirst ? 0u : 1u}));
    s.ReleaseLast();
    EXPECT_EQ(s.engine.CountCalls("CreateSession"), 0u);
  }
}

// Binding the engine attaches the reporter: Start's post goes out with the host's texts.
TEST(Downloader, StartPostsTheModuleVersionWithTheHostsTexts) {
  Host h;
  EXPECT_EQ(h.d->SetOption(kLumoOptionSid, "abc", 3), 0);
  EXPECT_EQ(h.d->SetOption(kLumoOptionGameCode, "g1", 2), 0);
  EXPECT_EQ(h.d->SetOption(kLumoOptionClientVersion, "1.2", 3), 0);
  EXPECT_EQ(h.d->Start(), 0);
  ASSERT_TRUE(h.WaitCalls("Send", 1));
  const std::string body = h.engine.Seen().httpRequests[0].body;
  for (const char* field :
       {"eventType=MODULE_VERSION", "sid=abc", "gameCode=g1", "clientVersion=1.2"})
    EXPECT_NE(body.find(field), std::string::npos) << field;
}

// Pause, Stop and the host's last Release against a running transfer: the session is aborted and
// no further attempt follows; a paused job stays first and runs anew on Resume; the last Release
// is prompt and terminates the engine. With polls of a minute only the wake-ups of Start, Resume
// and AddDownload let the worker look at the queue in time. An engine option the running session
// refuses is answered to the host (and stored for the next session).
TEST(Downloader, PauseStopAndLastReleaseAgainstARunningJob) {
  for (const std::string how : {"Pause", "Stop", "Release"}) {
    SCOPED_TRACE(how);
    Host h(0, true);
    FakeSessionScript endless = Fails();
    endless.runningOptionStatus = static_cast<int32_t>(0x8000000Eu);
    h.engine.SetDefaultSession(endless);
    const uint8_t overwrite = 1;
    EXPECT_EQ(h.d->SetOption(2, &overwrite, 1), 0) << "no session: only stored";
    ASSERT_EQ(h.Add(), 0);
    ASSERT_EQ(h.Add({kB}), 0);
    ASSERT_EQ(h.d->Start(), 0);
    ASSERT_TRUE(h.WaitCalls("Start", 1));
    EXPECT_EQ(h.d->SetOption(2, &overwrite, 1), static_cast<int32_t>(0x8000000Eu));
    EXPECT_EQ(h.engine.CountCalls("SetOption 2 1"), 2u);  // at creation, then forwarded
    if (how == "Release") {
      h.ReleaseLast();
      EXPECT_EQ(h.engine.Seen().liveSessions, 0u);
      continue;
    }
    EXPECT_EQ(how == "Stop" ? h.d->Stop(0) : h.d->Pause(0), 0);
    ASSERT_TRUE(h.WaitCalls("ReleaseSession", 1));
    EXPECT_FALSE(h.WaitCalls("CreateSession", 2, 300));
    EXPECT_EQ(h.d->QueuedJobs(), 2u);
    if (how == "Pause") {
      h.engine.SetDefaultSession(FakeSessionScript());
      EXPECT_EQ(h.d->Resume(), 0);
      ASSERT_TRUE(h.WaitCalls("ReleaseSession", 3));
      EXPECT_EQ(h.engine.Seen().SessionUrls(), (std::vector<std::string>{kA, kA, kB}));
      ASSERT_TRUE(h.WaitIdle());
      EXPECT_EQ(h.Add(), 0);
      ASSERT_TRUE(h.WaitCalls("ReleaseSession", 4));
      EXPECT_EQ(h.d->Stop(0), 0);
    }
    h.ReleaseLast();
  }
}

// The worker's queue: a failed job runs once more behind the others, then leaves; a full disk
// pauses with the job first, and after Resume its next run counts as its first.
TEST(Downloader, RequeueOnceAndDiskFullPause) {
  const std::string a = kA, b = kB, c = "http://127.0.0.1/c.bin";
  Host h;
  // A failed job is queued again: so its file says while the others run.
  ILumoFileResults* results = nullptr;
  ASSERT_EQ(h.d->QueryInterface(&IID_ILumoFileResults, reinterpret_cast<void**>(&results)), 0);
  results->Release();  // the face lives as long as the downloader
  const std::string pathA = testing::TestDir().string() + platform::kPathSeparator + "a.bin";
  LumoFileResult aWhileCRuns{};
  FakeSessionScript c1;
  c1.onPoll = [&](size_t) {
    results->GetFileResult(pathA.c_str(), &aWhileCRuns, nullptr, nullptr);
  };
  for (auto script : {Fails(3), Fails(3), FakeSessionScript(), c1, Fails(6), Fails(6)})
    h.engine.QueueSession(script);
  for (const std::string& url : {a, b, c}) ASSERT_EQ(h.Add({url.c_str()}), 0);
  ASSERT_EQ(h.d->Start(), 0);
  const auto idleAfter = [&h](size_t sessions) {
    return h.engine.WaitUntil([&] {
      return h.d->QueuedJobs() == 0 && h.d->RunState() == kLumoRunStateIdle &&
             h.engine.CountCalls("CreateSession") == sessions;
    });
  };
  ASSERT_TRUE(idleAfter(6));
  EXPECT_EQ(aWhileCRuns.state, static_cast<uint32_t>(kLumoFileQueued));
  EXPECT_EQ(h.engine.Seen().SessionUrls(), (std::vector<std::string>{a, a, b, c, a, a}));
  h.engine.QueueSession(Fails(4, static_cast<int32_t>(0x80070070u)));
  h.engine.SetDefaultSession(Fails(3));
  ASSERT_EQ(h.Add({kA, kB}), 0);
  ASSERT_TRUE(h.engine.WaitUntil([&] { return h.d->ControlState() == 2u; }));
  EXPECT_EQ(
      std::make_tuple(h.d->RunState(), h.d->QueuedJobs(), h.engine.CountCalls("CreateSession")),
      std::make_tuple(uint32_t{kLumoRunStateDiskFull}, size_t{1}, size_t{7}));
  // Four attempts, put back once, four more, gone.
  EXPECT_EQ(h.d->Resume(), 0);
  ASSERT_TRUE(idleAfter(15));
  EXPECT_FALSE(h.WaitCalls("CreateSession", 16, 100));
}

// Binding the engine library: each way it can fail, the code and text the host gets, and what
// the library saw (it must be terminated whenever its init ran).
TEST(EngineLoader, EachBindingOutcome) {
  // What the fake library saw, read through its own export.
  const auto seen = [](const WString& library) {
    void* handle = platform::LoadDynamicLibrary(library);
    if (handle == nullptr) return std::string("<not loadable>");
    auto events =
        reinterpret_cast<const char* (*)()>(platform::FindSymbol(handle, "fake_zdl_events"));
    std::string result = events ? events() : "<no events>";
    platform::UnloadDynamicLibrary(handle);
    return result;
  };
  // The variant, Bind's code, the text before the system's wording of that code, whether the
  // library stays loaded after Bind, and what it saw.
  for (const auto& [variant, code, text, kept, events] :
       std::vector<std::tuple<const char*, int32_t, std::string, bool, std::string>>{
           {"fake_zdl_ok", 0, "", true,
            "init;get-download;get-http;release-download;release-http;term;"},
           {"no_such_engine", kFail, "Load ", false, "<not loadable>"},
           {"fake_zdl_no_getobject", kFail, "Load ", false, ""},
           {"fake_zdl_init_fails", kFail, "Init zdlcore failed, ", true, "init;term;"},
           {"fake_zdl_download_fails", kNoInterface, "Get IZDownloadService instance failed, ",
            true, "init;get-download;term;"},
           {"fake_zdl_http_fails", static_cast<int32_t>(0x8007000Eu),
            "Get IZDownloadService instance failed, ", true,
            "init;get-download;get-http;release-download;term;"}}) {
    SCOPED_TRACE(variant);
    const WString library =
        WideOfUtf8(std::string(LUMO_FAKE_ZDL_DIR) + "/" + LUMO_SHARED_LIBRARY_PREFIX + variant +
                   LUMO_SHARED_LIBRARY_SUFFIX);
    ZDownloadLoader loader(library);
    std::string said = "untouched";
    EXPECT_EQ(loader.Bind(&said), code);
    EXPECT_EQ(loader.IsLoaded(), kept);
    if (code == 0) {
      EXPECT_EQ(said, "untouched");
      EXPECT_TRUE(loader.DownloadService() && loader.HttpService());
      // A second binding in the same process is refused while the library is held.
      EXPECT_EQ(loader.Load(library), kAccessDenied);
    } else {
      EXPECT_EQ(said.rfind(text, 0), 0u) << said;
      EXPECT_NE(said.find(platform::SystemErrorText(code)), std::string::npos) << said;
    }
    loader.ReleaseAndTerminate();
    EXPECT_EQ(loader.DownloadService(), nullptr);
    EXPECT_EQ(events.empty() ? "" : seen(library), events);
  }
  // A bare name is looked for beside the module, then beside the host's program: here, where
  // the module is linked into the program, that is one folder, tried once.
  const WString bare = WideOfUtf8("engine.so");
  EXPECT_EQ(ZDownloadLoader::CandidatePaths(bare),
            std::vector<WString>{platform::ExecutableDirectory() + bare});
}

// Texts from servers and hosts end up in messages (and could in levels): none of them may end
// the line or forge another one. Backslashes, UTF-8 and other high bytes pass.
TEST(Log, ControlCharactersOfAnyTextAreEscaped) {
  const platform::CalendarTime t{2017, 11, 4, 23, 2, 47, 10, 9};
  EXPECT_EQ(LogPathFor(WideOfUtf8("/opt/game/bin/")), u"/opt/game/bin/../lumodownload.log");
  const std::string message = "a\r\n2017-11-23T02:47:10 ERROR\t\a" + std::string(1, '\0') +
                              "\x7F\x1B[2J C:\\\xE6\x96\x87\xC2\x85";
  EXPECT_EQ(
      FormatLogLine(t, "IN\nFO", message),
      "2017-11-23T02:47:10 IN\\nFO - a\\r\\n2017-11-23T02:47:10 ERROR\\t\\x07\\x00\\x7F\\x1B[2J "
      "C:\\\xE6\x96\x87\xC2\x85\n");
}

}  // namespace
}  // namespace lumo
