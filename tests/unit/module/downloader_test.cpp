#include "module/downloader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "base/text_conversion.h"
#include "support/fake_binding.h"
#include "support/fake_engine.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

using testing::FakeBinding;
using testing::FakeEngine;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);

Timing ShortTiming() {
  Timing t = Timing::Scaled(1000);
  t.destructorWait = std::chrono::milliseconds(3000);
  return t;
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
const LumoWChar* W(const std::u16string& s) {
  return reinterpret_cast<const LumoWChar*>(s.c_str());
}

class DownloaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (downloader_ != nullptr) downloader_->Release();
  }

  LumoDownloader* Make(int32_t bindCode = 0, const Timing& timing = ShortTiming()) {
    binding_.bindCode = bindCode;
    downloader_ = new LumoDownloader(binding_, reporter_, timing, Endpoints{});
    downloader_->AddRef();
    std::string text;
    initCode_ = downloader_->Initialize(&text);
    return downloader_;
  }

  FakeEngine engine_;
  FakeBinding binding_{engine_};
  Reporter reporter_{engine_.HttpService(), "http://127.0.0.1:9/post", ShortTiming()};
  LumoDownloader* downloader_ = nullptr;
  int32_t initCode_ = 0;
};

TEST_F(DownloaderTest, AnswersOnlyItsOwnInterface) {
  LumoDownloader* d = Make();
  ASSERT_EQ(initCode_, 0);
  const LumoGuid unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(d->QueryInterface(&unknown, &out), kNoInterface);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(d->QueryInterface(&IID_ILumoDownloader, &out), 0);
  EXPECT_EQ(out, static_cast<ILumoDownloader*>(d));
  EXPECT_EQ(d->ReferenceCount(), 2);
  EXPECT_EQ(d->Release(), 1u);
}

// What each option id keeps and gives back: a value is read back only in the size the id
// stores (never past what was set), texts come back through the host's string object only.
TEST_F(DownloaderTest, OptionTable) {
  LumoDownloader* d = Make();
  uint8_t buffer[8] = {};
  uint32_t size = sizeof buffer;
  EXPECT_EQ(d->GetOption(0, nullptr, &size), kInvalidArg);
  EXPECT_EQ(d->GetOption(0, buffer, nullptr), kInvalidArg);
  EXPECT_EQ(d->GetOption(0, buffer, &size), kFail) << "never set";
  const uint32_t speed = 0x01020304;
  const struct {
    int32_t id;
    const void* value;
    uint32_t setSize;
    uint32_t askSize;
    int32_t answer;
    uint32_t gotSize;
  } rows[] = {
      {0, &speed, 4, 8, 0, 4},     {0, &speed, 4, 2, kFail, 0}, {1, &speed, 2, 8, kFail, 0},
      {2, "\x01\x02", 2, 8, 0, 1}, {2, "\x01", 1, 0, kFail, 0}, {3, "text", 4, 8, kFail, 0},
      {4, "text", 4, 8, kFail, 0}, {11, &speed, 4, 4, 0, 4},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.id);
    EXPECT_EQ(d->SetOption(r.id, r.value, r.setSize), 0);
    std::memset(buffer, 0, sizeof buffer);
    size = r.askSize;
    EXPECT_EQ(d->GetOption(r.id, buffer, &size), r.answer);
    if (r.answer == 0) {
      EXPECT_EQ(size, r.gotSize);
      EXPECT_EQ(std::memcmp(buffer, r.value, r.gotSize), 0);
    }
  }
  for (int32_t id : {5, 6, 7, 9, 10, 12, 13, -1}) {  // kept, never given back
    EXPECT_EQ(d->SetOption(id, "x", 1), 0) << id;
    size = 8;
    EXPECT_EQ(d->GetOption(id, buffer, &size), kInvalidArg) << id;
  }

  // The sid comes back through the host's string object; the count is the stored count.
  EXPECT_EQ(d->SetOption(8, "session-1xyz", 9), 0);
  std::string sid;
  LumoString host = LumoStringFor(sid);
  size = 1;
  EXPECT_EQ(d->GetOption(8, &host, &size), 0);
  EXPECT_EQ(sid, "session-1");
  EXPECT_EQ(size, 9u);

  // Bytes without a pointer are refused rather than read.
  EXPECT_EQ(d->SetOption(4, nullptr, 3), kInvalidArg);
  EXPECT_EQ(d->SetOption(4, nullptr, 0), 0);
}

TEST_F(DownloaderTest, AddDownloadChecksItsArguments) {
  LumoDownloader* d = Make();
  const std::u16string dir = U16(lumo::testing::TestDir().string());
  const char* urls[] = {nullptr, "http://127.0.0.1/a.bin", nullptr};
  EXPECT_EQ(d->AddDownload(urls, 3, W(dir), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(d->QueuedJobs(), 1u);

  const char* none[] = {nullptr, nullptr};
  EXPECT_EQ(d->AddDownload(none, 2, W(dir), nullptr, nullptr, 0, nullptr), kInvalidArg);

  EXPECT_EQ(d->AddDownload(nullptr, 1, W(dir), nullptr, nullptr, 0, nullptr), kInvalidArg);
  EXPECT_EQ(d->AddDownload(urls, 3, nullptr, nullptr, nullptr, 0, nullptr), kInvalidArg);
  EXPECT_EQ(d->AddDownload(urls, 3, W(dir), nullptr, nullptr, 2, nullptr), kInvalidArg);
  EXPECT_EQ(d->AddDownload(urls, 3, W(U16("")), nullptr, nullptr, 0, nullptr), kInvalidArg);
  const std::u16string longText(260, u'a');
  EXPECT_EQ(d->AddDownload(urls, 3, W(longText), nullptr, nullptr, 0, nullptr), kInvalidArg);
  EXPECT_EQ(d->AddDownload(urls, 3, W(dir), W(longText), nullptr, 0, nullptr), kInvalidArg);
  EXPECT_EQ(d->QueuedJobs(), 1u) << "refused jobs are never queued";
}

TEST_F(DownloaderTest, PauseResumeStopWords) {
  LumoDownloader* d = Make();
  EXPECT_EQ(d->RunState(), 0u);
  EXPECT_EQ(d->ControlState(), 0u);
  EXPECT_EQ(d->Pause(0), 0);
  EXPECT_EQ(d->ControlState(), 2u);
  EXPECT_EQ(d->Pause(0), kAccessDenied);
  EXPECT_EQ(d->Resume(), 0);
  EXPECT_EQ(d->ControlState(), 1u);
  EXPECT_EQ(d->RunState(), 1u);
  EXPECT_EQ(d->Pause(0), 0);
  EXPECT_EQ(d->Stop(0), 0);
  EXPECT_EQ(d->ControlState(), 3u);
  EXPECT_EQ(d->ResetProgress(), 0);
  EXPECT_EQ(d->RunState(), 1u);
}

TEST_F(DownloaderTest, StartPostsTheModuleVersionWithTheHostsTexts) {
  LumoDownloader* d = Make();
  EXPECT_EQ(d->SetOption(8, "abc", 3), 0);
  EXPECT_EQ(d->SetOption(12, "g1", 2), 0);
  EXPECT_EQ(d->Start(), 0);
  ASSERT_TRUE(engine_.WaitUntil([&] { return engine_.CountCalls("Send") >= 1; }));
  const auto requests = engine_.HttpRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests[0].body.find("eventType=MODULE_VERSION"), std::string::npos);
  EXPECT_NE(requests[0].body.find("&sid=abc&"), std::string::npos);
  EXPECT_NE(requests[0].body.find("gameCode=g1"), std::string::npos);
}

TEST_F(DownloaderTest, FailedBindingLeavesNoThread) {
  LumoDownloader* d = Make(kFail);
  EXPECT_EQ(initCode_, kFail);
  EXPECT_FALSE(d->HasWorkerThread());
  EXPECT_EQ(d->Start(), kAccessDenied);
  EXPECT_EQ(d->Pause(0), kAccessDenied);
  EXPECT_EQ(d->Stop(0), kAccessDenied);
}

void ExpectPromptRelease(LumoDownloader* d) {
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(d->Release(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
}

// The host's last Release, before Start or with an idle worker: prompt, the engine terminated,
// and nothing calls it afterwards.
TEST_F(DownloaderTest, LastReleaseIsPromptAndTerminatesTheEngine) {
  for (const bool started : {false, true}) {
    SCOPED_TRACE(started);
    FakeEngine engine;
    FakeBinding binding{engine};
    Reporter reporter{engine.HttpService(), "http://127.0.0.1:9/post", ShortTiming()};
    auto* d = new LumoDownloader(binding, reporter, ShortTiming(), Endpoints{});
    d->AddRef();
    std::string text;
    ASSERT_EQ(d->Initialize(&text), 0);
    if (started) {
      EXPECT_EQ(d->Start(), 0);
    }
    ExpectPromptRelease(d);
    EXPECT_EQ(binding.terminations, 1);
    EXPECT_EQ(engine.CallsAfterTerm(), 0u);
  }
}

// Stop is final, before Start or after: the calls that would need the worker are refused instead of
// a success that nothing follows up, and nothing claims to run.
TEST_F(DownloaderTest, CallsThatNeedTheWorkerAreRefusedAfterStop) {
  const std::u16string dir = U16(lumo::testing::TestDir().string());
  const char* urls[] = {"http://127.0.0.1/a.bin"};
  for (const bool startedFirst : {false, true}) {
    if (downloader_ != nullptr) downloader_->Release();
    LumoDownloader* d = Make();
    if (startedFirst) {
      EXPECT_EQ(d->Start(), 0);
      ASSERT_TRUE(engine_.WaitUntil([d] { return d->RunState() == kLumoRunStateIdle; }));
    }
    // Before Start the job waits in the queue (an idle worker would take it at once).
    if (!startedFirst) {
      EXPECT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, nullptr, 0, nullptr), 0);
    }
    EXPECT_EQ(d->Stop(0), 0);
    const uint32_t runState = d->RunState();
    EXPECT_EQ(d->Start(), kAccessDenied);
    EXPECT_EQ(d->Resume(), kAccessDenied);
    EXPECT_EQ(d->Pause(0), kAccessDenied);
    EXPECT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, nullptr, 0, nullptr), kAccessDenied);
    EXPECT_EQ(d->ResetProgress(), 0);
    EXPECT_NE(d->RunState(), kLumoRunStateRunning);
    EXPECT_EQ(d->RunState(), runState);
    EXPECT_EQ(d->ControlState(), 3u);
    EXPECT_EQ(d->QueuedJobs(), startedFirst ? 0u : 1u);
  }
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 0u) << "the job queued before Stop never ran";
}

// An engine option the running session refuses is answered to the host (it is stored anyway
// and goes to the next session).
TEST_F(DownloaderTest, AnOptionTheRunningSessionRefusesIsAnsweredToTheHost) {
  Timing timing = ShortTiming();
  timing.sessionPoll = std::chrono::minutes(1);  // no stall check while the test runs
  LumoDownloader* d = Make(0, timing);
  testing::FakeSessionScript running;
  running.polls = {testing::FakePoll{kZdlStatusDownloading, 1000, 1, 1, 1}};
  running.runningOptionStatus = static_cast<int32_t>(0x8000000Eu);
  engine_.SetDefaultSession(running);
  const uint8_t overwrite = 1;
  EXPECT_EQ(d->SetOption(2, &overwrite, 1), 0) << "no session: only stored";
  const std::u16string dir = U16(lumo::testing::TestDir().string());
  const char* urls[] = {"http://127.0.0.1/a.bin"};
  ASSERT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(d->Start(), 0);
  ASSERT_TRUE(engine_.WaitUntil([&] { return engine_.CountCalls("Start") >= 1; }));
  EXPECT_EQ(d->SetOption(2, &overwrite, 1), static_cast<int32_t>(0x8000000Eu));
  EXPECT_EQ(engine_.CountCalls("SetOption 2 1"), 2u);  // at creation, then forwarded
  uint8_t stored = 0;
  uint32_t size = 1;
  EXPECT_EQ(d->GetOption(2, &stored, &size), 0);
  EXPECT_EQ(stored, 1);
  EXPECT_EQ(d->Stop(0), 0);
  downloader_ = nullptr;
  ExpectPromptRelease(d);
}

// The worker waits up to a minute here; only the wake-ups of the host's calls can make it look
// at the queue in time.
TEST_F(DownloaderTest, HostCallsWakeTheIdleWorker) {
  Timing timing = ShortTiming();
  timing.workerPoll = std::chrono::minutes(1);
  timing.sessionPoll = std::chrono::minutes(1);
  LumoDownloader* d = Make(0, timing);
  const auto idle = [d] { return d->RunState() == kLumoRunStateIdle; };
  EXPECT_EQ(d->Start(), 0);
  ASSERT_TRUE(engine_.WaitUntil(idle)) << "Start wakes the worker, which finds nothing queued";

  const std::u16string dir = U16(lumo::testing::TestDir().string());
  const char* urls[] = {"http://127.0.0.1/a.bin"};
  EXPECT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_TRUE(engine_.WaitUntil([&] { return engine_.CountCalls("ReleaseSession") == 1; }));
  ASSERT_TRUE(engine_.WaitUntil(idle));

  EXPECT_EQ(d->Pause(0), 0);
  EXPECT_EQ(d->AddDownload(urls, 1, W(dir), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(d->Resume(), 0);
  ASSERT_TRUE(engine_.WaitUntil([&] { return engine_.CountCalls("ReleaseSession") == 2; }));
  ASSERT_TRUE(engine_.WaitUntil(idle));
  EXPECT_EQ(d->QueuedJobs(), 0u);

  EXPECT_EQ(d->Stop(0), 0);
  downloader_ = nullptr;
  ExpectPromptRelease(d);
}

}  // namespace
}  // namespace lumo
