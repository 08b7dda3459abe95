// The download job: the URL walk, the monitored transfer (stall, size, milestones, options),
// the progress records, and the worker thread's queue (requeue once, disk pauses, pauses).
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "base/result_codes.h"
#include "download/download_thread.h"
#include "download/session_status.h"
#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kA = "http://127.0.0.1/one/data.bin", kB = "http://localhost/two/data.bin";
const int32_t kDiskFull = static_cast<int32_t>(0x80070070u);
const int32_t kDenied = static_cast<int32_t>(0x80070005u);

// One worker of its own on one engine of its own, for table rows.
struct Rig {
  explicit Rig(const Timing& timing, OptionStore& options)
      : reporter(engine.HttpService(), TestEndpoints().reportUrl, timing),
        worker(timing, engine, reporter, options) {}
  std::vector<Form> Sent(const std::string& type) {
    engine.WaitUntil([&] { return reporter.PendingForTest() == 0; });
    return Posted(engine, type);
  }
  FakeEngine engine;
  Reporter reporter;
  ProbeWorker worker;
};

std::vector<FakePoll> Repeat(FakePoll poll, size_t count) { return {count, poll}; }

using WorkerTest = DownloadTest;

// Two attempts per URL, in order; a full disk ends the walk, a size beyond the free space only
// that URL; the resolved-address fallback comes after the last failure. The file's result
// follows the job's.
TEST_F(WorkerTest, TheUrlWalk) {
  const std::string a = kA, b = kB;
  struct Case {
    const char* why;
    std::vector<FakeSessionScript> queued;
    FakeSessionScript otherwise;
    int32_t code, extendedCode;
    std::vector<std::string> created;
    int fallbacks;
  } cases[] = {
      {"every attempt fails", {}, Fails(3), 3, 0, {a, a, b, b}, 1},
      {"the second attempt succeeds", {Fails(7)}, Succeeds(), 0, 0, {a, a}, 0},
      {"a full disk", {}, Fails(4, kDiskFull), 4, kDiskFull, {a}, 0},
      {"too big, the next URL delivers",
       {Fails(4, kZdlExtClaimExceedsSpace)},
       Succeeds(),
       0,
       0,
       {a, b},
       0},
      {"too big, then no success",
       {Fails(4, kZdlExtClaimExceedsSpace)},
       Fails(5, 404),
       4,
       kZdlExtDiskFull,
       {a, b, b},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Rig rig(timing_, options_);
    for (const FakeSessionScript& script : c.queued) rig.engine.QueueSession(script);
    rig.engine.SetDefaultSession(c.otherwise);
    DownloadJob job = MakeJob({a, b});
    const DownloadResult result = rig.worker.RunFile(job);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.extendedCode, c.extendedCode);
    std::vector<std::string> created;
    for (const FakeSessionRequest& request : rig.engine.SessionRequests())
      created.push_back(request.url);
    EXPECT_EQ(created, c.created);
    EXPECT_EQ(rig.worker.fallbacks.load(), c.fallbacks);
    EXPECT_EQ(rig.worker.sessionsBeforeFallback.load(), c.fallbacks ? c.created.size() : 0u);
    EXPECT_EQ(rig.engine.LiveSessions(), 0u);
    EXPECT_EQ(rig.worker.CompletedFiles(), c.code == 0 ? PathOf("data.bin") : "");
    FileResultEntry entry;
    ASSERT_TRUE(rig.worker.FileResult(PathOf("data.bin"), &entry));
    EXPECT_EQ(entry.result.state, c.code == 0 ? kLumoFileDone : kLumoFileFailed);
    EXPECT_EQ(entry.result.resultCode, c.code);
    EXPECT_EQ(entry.result.attempts, c.created.size());
    EXPECT_EQ(entry.message.empty(), c.code == 0);
  }
}

// Every failed attempt is reported, then the job; the engine's detail goes with it.
TEST_F(WorkerTest, FailuresAreReportedWithTheJobsFacts) {
  worker_->SetClientVersion("1.2.3");
  FakeSessionScript untrusted = Fails(3, 60);
  untrusted.failureDetail = "certificate verification failed";
  engine_.SetDefaultSession(untrusted);
  DownloadJob job = MakeJob({kA}, "named.bin");
  EXPECT_EQ(worker_->RunFile(job).code, 3);
  EXPECT_EQ(engine_.SessionRequests()[0].fileName, u"named.bin");
  EXPECT_FALSE(engine_.SessionRequests()[0].checksumPathNull);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[0]["exceptionMsg"].find(untrusted.failureDetail), std::string::npos);
  EXPECT_EQ(reports[0]["err"], untrusted.failureDetail);
  EXPECT_EQ(reports[0]["errExtCode"], "60");
  EXPECT_EQ(reports[0]["cdnUrl"], kA);
  EXPECT_EQ(reports[0]["downloadFileName"], "named.bin");
  EXPECT_EQ(reports[0]["saveDir"], saveDir_);
  EXPECT_EQ(reports[0]["saveDirExists"], "1");
  EXPECT_EQ(reports[0]["clientVersion"], "1.2.3");
  EXPECT_EQ(reports[2].count("cdnUrl"), 0u);
  EXPECT_EQ(reports[2]["err"], "Network error");  // the job's own report keeps the message
}

// Failures that are not reported, and the job without a save folder (no record, one report).
TEST_F(WorkerTest, QuietEndsAndTheJobWithoutAFolder) {
  FakeSessionScript failing = Fails(4, kDenied);  // a file-system error after a pause
  failing.onPoll = [&](size_t) { worker_->SetRunning(false); };
  engine_.QueueSession(failing);
  DownloadJob job = MakeJob({kA});
  EXPECT_EQ(worker_->RunFile(job).code, 4);
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());
  worker_->SetRunning(true);
  const std::string empty;
  DownloadJob homeless = MakeJob({kA}, "z.bin", &empty);
  EXPECT_EQ(worker_->RunFile(homeless).code, 1);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 1u);
  EXPECT_EQ(worker_->CurrentPath(), "z.bin");
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["err"], "Cannot get Download File Object");
  EXPECT_EQ(reports[0]["saveDirExists"], "0");
}

// Refused sessions: reported, released, never polled.
TEST_F(WorkerTest, RefusedSessionsAreReportedAndReleased) {
  struct Case {
    int32_t createStatus;
    bool sessionOnCreateFailure;
    int32_t startStatus;
    size_t releases;  // over the two attempts
  } cases[] = {
      {kZdlFail, false, kZdlOk, 0}, {kZdlFail, true, kZdlOk, 2}, {kZdlOk, false, kZdlFail, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.releases + c.startStatus);
    Rig rig(timing_, options_);
    FakeSessionScript refused;
    refused.createStatus = c.createStatus;
    refused.sessionOnCreateFailure = c.sessionOnCreateFailure;
    refused.startStatus = c.startStatus;
    rig.engine.SetDefaultSession(refused);
    DownloadJob job = MakeJob({kA});
    EXPECT_EQ(rig.worker.RunFile(job).code, 1);
    EXPECT_EQ(rig.engine.CountCalls("CreateSession"), 2u);
    EXPECT_EQ(rig.engine.CountCalls("ReleaseSession"), c.releases);
    EXPECT_EQ(rig.engine.LiveSessions(), 0u);
    EXPECT_EQ(rig.engine.CountCalls("GetStatus"), 0u);
    std::vector<Form> reports = rig.Sent(kEventRunningException);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0]["err"], platform::SystemErrorText(kZdlFail));
    EXPECT_EQ(reports[2]["err"], "General error");
  }
}

// 120 counted polls without a byte abort the session (the next attempt then delivers); preparing
// polls are not counted, and one byte of growth starts the count again. The abort is reported
// once, its session's end not again.
TEST_F(WorkerTest, StallAbortAfter120PollsWithoutData) {
  struct Case {
    std::vector<FakePoll> polls;
    size_t pollsBeforeAbort;  // 0: no abort
  } cases[] = {
      {{FakePoll{1, 0, 0, 0, 0}, FakePoll{3, 1000, 0, 0, 0}}, 122},
      {Repeat(FakePoll{3, 1000, 0, 0, 0}, 120), 241},
      {Repeat(FakePoll{1, 0, 0, 0, 0}, 200), 0},
  };
  cases[1].polls.push_back(FakePoll{3, 1000, 1, 0, 0});
  cases[2].polls.push_back(FakePoll{4, 10, 10, 1, 1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pollsBeforeAbort);
    Rig rig(timing_, options_);
    FakeSessionScript script;
    script.polls = c.polls;
    rig.engine.QueueSession(script);
    rig.engine.QueueSession(Succeeds());
    DownloadJob job = MakeJob({kA});
    EXPECT_EQ(rig.worker.RunFile(job).code, 0);
    size_t polls = 0;
    for (const std::string& call : rig.engine.Calls()) {
      if (call == "Abort") break;
      polls += call == "GetStatus";
    }
    EXPECT_EQ(c.pollsBeforeAbort ? polls : 0, c.pollsBeforeAbort);
    EXPECT_EQ(rig.engine.CountCalls("Abort"), c.pollsBeforeAbort ? 1u : 0u);
    const std::vector<Form> reports = rig.Sent(kEventRunningException);
    EXPECT_EQ(reports.size(), c.pollsBeforeAbort ? 1u : 0u);
    for (const Form& report : reports) EXPECT_EQ(report.at("err"), "Active abort");
  }
}

// More bytes than the total are reported and capped, but only against a length the server gave.
TEST_F(WorkerTest, SizeCheckOnlyAgainstALengthTheServerGave) {
  struct Case {
    std::vector<FakePoll> polls;
    std::vector<std::string> unnormal;       // "fileSize/downloadedFileSize" of each event
    uint64_t totalMidway, downloadedMidway;  // words 8 and 10 while the last poll is pending
  } cases[] = {
      {{FakePoll{3, 100, 150, 5, 5}, FakePoll{3, 100, 160, 5, 5}, FakePoll{4, 100, 100, 5, 5}},
       {"100/150", "100/160"},
       100,
       100},
      {{FakePoll{3, 0, 50, 5, 5}, FakePoll{3, 0, 120, 5, 5}, FakePoll{4, 120, 120, 5, 5}},
       {},
       0,
       120},
      {{FakePoll{3, 100, 50, 5, 5}, FakePoll{3, 0, 160, 5, 5}, FakePoll{4, 160, 160, 5, 5}},
       {},
       100,
       160},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.downloadedMidway);
    Rig rig(timing_, options_);
    FakeSessionScript script;
    script.polls = c.polls;
    DownloadStatus midway{};
    script.onPoll = [&](size_t index) {
      if (index == c.polls.size() - 1) rig.worker.RefreshStatus(&midway);
    };
    rig.engine.QueueSession(script);
    DownloadJob job = MakeJob({kA});
    EXPECT_EQ(rig.worker.RunFile(job).code, 0);
    std::vector<std::string> unnormal;
    for (Form& f : rig.Sent(kEventFileDownload)) {
      if (f["downloadState"] == "DOWNLOADING_UNNORMAL")
        unnormal.push_back(f["fileSize"] + "/" + f["downloadedFileSize"]);
    }
    EXPECT_EQ(unnormal, c.unnormal);
    EXPECT_EQ(midway.words[8], c.totalMidway);
    EXPECT_EQ(midway.words[10], c.downloadedMidway);
  }
}

// Milestones carry the polls since the last one and the speed window; between counted polls a
// session's end is taken up at the next look, with the full pass.
TEST_F(WorkerTest, MilestonesAndTheEndSeenBetweenPolls) {
  const auto seen = [](std::vector<Form> events) {
    std::vector<std::string> out;  // state duration max min downloaded/size average
    for (Form& e : events) {
      EXPECT_EQ(e["downloadUuid"], events[0]["downloadUuid"]);
      out.push_back(e["downloadState"] + " " + e["downloadDuration"] + " " + e["maxDownloadSpeed"] +
                    " " + e["minDownloadSpeed"] + " " + e["downloadedFileSize"] + "/" +
                    e["fileSize"] + " " + e["averageDownloadSpeed"]);
    }
    return out;
  };
  Timing counted = timing_, looked = timing_;
  counted.milestonePolls = 5;
  looked.sessionPoll = std::chrono::minutes(1);  // waiting out a single poll would show
  looked.sessionLook = milliseconds(1);
  struct Case {
    Timing timing;
    std::vector<FakePoll> polls;
    std::vector<std::string> events;
  } cases[] = {
      {counted,
       {{1, 0, 0, 0, 0},
        {3, 1000, 0, 0, 0},
        {3, 1000, 0, 0, 0},
        {3, 1000, 100, 50, 50},
        {3, 1000, 200, 50, 10},
        {3, 1000, 300, 50, 30},
        {3, 1000, 400, 50, 20},
        {3, 1000, 500, 50, 0},
        {4, 1000, 1000, 60, 40}},
       {"START_DOWNLOAD 2 50 50 100/1000 50", "DOWNLOADING 3 30 10 400/1000 50",
        "DOWNLOADED 2 40 40 1000/1000 60"}},
      {counted, {{4, 10, 10, 0, 0}}, {"DOWNLOADED 0 0 4294967295 10/10 0"}},  // no speed seen
      {looked,
       {{1, 0, 0, 0, 0}, {3, 1000, 500, 70, 90}, {3, 1000, 900, 70, 80}, {4, 1000, 1000, 60, 40}},
       {"START_DOWNLOAD 0 40 40 1000/1000 60", "DOWNLOADED 0 0 4294967295 1000/1000 60"}},
  };
  for (const Case& c : cases) {
    Rig rig(c.timing, options_);
    FakeSessionScript script;
    script.polls = c.polls;
    rig.engine.QueueSession(script);
    DownloadJob job = MakeJob({kA});
    EXPECT_EQ(rig.worker.RunFile(job).code, 0);
    EXPECT_EQ(seen(rig.Sent(kEventFileDownload)), c.events);
  }
}

TEST_F(WorkerTest, EngineOptionsAreReappliedInAscendingHostIdOrder) {
  const uint32_t four = 4;
  options_.Set(11, &four, 4);
  options_.Set(8, "sid-text", 8);
  options_.Set(4, "agent", 5);
  options_.Set(3, "http://proxy", 12);
  options_.Set(0, &four, 4);
  options_.Set(2, "\x01", 1);
  engine_.QueueSession(Succeeds());
  DownloadJob job = MakeJob({kA});
  worker_->RunFile(job);
  std::vector<std::string> between;
  bool inside = false;
  for (const std::string& call : engine_.Calls()) {
    if (call == "Start") break;
    inside = inside || call.rfind("CreateSession", 0) == 0;
    if (inside && call.rfind("SetOption", 0) == 0) between.push_back(call);  // posts interleave
  }
  EXPECT_EQ(between, (std::vector<std::string>{"SetOption 0 4", "SetOption 2 1", "SetOption 3 12",
                                               "SetOption 4 5", "SetOption 5 4"}));
}

TEST_F(WorkerTest, PlainTransferSetsOverwriteAndKeepsQuiet) {
  engine_.QueueSession(Succeeds());
  const WString folder = WideOfUtf8(saveDir_);
  EXPECT_EQ(worker_->TransferPlain(kA, folder, WideOfUtf8("sum.md5")).code, 0);
  EXPECT_TRUE(engine_.SessionRequests()[0].checksumPathNull);
  EXPECT_EQ(engine_.SessionRequests()[0].fileName, u"sum.md5");
  EXPECT_EQ(engine_.CountCalls("SetOption 2 1"), 1u);
  FakeSessionScript unstartable;
  unstartable.startStatus = kZdlFail;
  engine_.QueueSession(unstartable);
  EXPECT_EQ(worker_->TransferPlain(kA, folder, WideOfUtf8("sum.md5")).code, 1);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["downloadFileName"], "sum.md5");  // the argument, not the job's name
  EXPECT_EQ(engine_.LiveSessions(), 0u);
  EXPECT_TRUE(SentEvents(kEventFileDownload).empty());
}

// The progress the host reads: path, status words per file, completed files; a reset empties.
TEST_F(WorkerTest, ProgressRecordsOverSeveralJobs) {
  const std::string sep(1, platform::kPathSeparator), slashed = saveDir_ + "/";
  DownloadStatus during{}, status{};
  FakeSessionScript observed = Succeeds();
  observed.onPoll = [&](size_t index) {
    if (index == 1) worker_->RefreshStatus(&during);
  };
  engine_.QueueSession(observed);  // b.bin: 0
  engine_.QueueSession(Fails(3));  // a.bin: 3
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(4, kDenied));  // c.bin: 4, no pause
  engine_.QueueSession(Fails(4, kDenied));
  engine_.SetDefaultSession(Succeeds());
  const struct {
    std::string name;
    const std::string* dir;
    uint32_t records, unfinished, overall;  // words 14 to 16: 3 network, 2 file system
    std::string completed;
  } steps[] = {
      {"b.bin", &slashed, 1, 0, 0, saveDir_ + "/b.bin"},
      {"a.bin", nullptr, 2, 1, 3, saveDir_ + "/b.bin"},
      {"c.bin", nullptr, 3, 2, 2, saveDir_ + "/b.bin"},
      {"a.bin", nullptr, 3, 1, 2, PathOf("a.bin") + ";" + saveDir_ + "/b.bin"},  // found again
      {"", nullptr, 4, 1, 2, PathOf("a.bin") + ";" + saveDir_ + "/b.bin;" + PathOf("unnamed")},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    DownloadJob job = MakeJob({s.name.empty() ? "http://127.0.0.1/dl/" : kA}, s.name, s.dir);
    worker_->RunFile(job);
    worker_->RefreshStatus(&status);
    EXPECT_EQ(std::vector<uint32_t>(status.words + 14, status.words + 17),
              (std::vector<uint32_t>{s.records, s.unfinished, s.overall}));
    EXPECT_EQ(worker_->CompletedFiles(), s.completed);
    EXPECT_EQ(worker_->CurrentPath(),
              (s.dir ? *s.dir : saveDir_ + sep) + (s.name.empty() ? "unnamed" : s.name));
  }
  EXPECT_EQ(during.words[14], 1u);
  EXPECT_EQ(during.words[16], 1u);
  EXPECT_EQ(during.words[10], 50u);  // the first counted poll's count
  EXPECT_EQ(during.words[13], 10u);
  EXPECT_EQ(engine_.SessionRequests().back().fileName, u"unnamed");
  worker_->ResetWorker();
  worker_->RefreshStatus(&status);
  EXPECT_EQ(status.words[14], 0u);
  EXPECT_EQ(worker_->CurrentPath(), "");
  EXPECT_EQ(worker_->CompletedFiles(), "");
}

TEST_F(WorkerTest, StatisticsSampleIsReported) {
  worker_->SetSid("s1");
  worker_->SampleStatistics();
  engine_.SetDefaultSession(Succeeds(64));
  DownloadJob job = MakeJob({kA}, "s.bin");
  worker_->RunFile(job);
  worker_->SampleStatistics();
  std::vector<Form> samples = SentEvents(kEventDownloadStatistics);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].count("statistics_msg"), 0u);
  EXPECT_EQ(samples[1]["statistics_msg"], PathOf("s.bin") + ",total=64,complete=64;");
  EXPECT_EQ(samples[1]["sid"], "s1");
}

// The host's progress calls, resets, pauses and aborts hammer the worker while transfers run:
// the sanitizer builds check that no freed record or session is touched and no word is raced.
TEST_F(WorkerTest, HostCallsDuringTransfersAreSafe) {
  FakeSessionScript busy;
  for (uint64_t i = 1; i <= 300; ++i) busy.polls.push_back(FakePoll{3, 100000, i * 100, 7, 7});
  busy.polls.push_back(FakePoll{4, 100000, 100000, 7, 7});
  engine_.SetDefaultSession(busy);
  std::atomic<bool> done{false};
  std::atomic<size_t> resets{0};
  std::thread host([&] {
    while (!done.load()) {
      worker_->ResetWorker();
      DownloadStatus status;
      worker_->RefreshStatus(&status);
      worker_->CurrentPath();
      worker_->CompletedFiles();
      worker_->ApplyToCurrentSession(0, "abcd", 4);
      ++resets;
    }
  });
  for (int i = 0; i < 4; ++i) {
    DownloadJob job = MakeJob({"http://127.0.0.1/r" + std::to_string(i) + ".bin"});
    EXPECT_EQ(worker_->RunFile(job).code, 0);
  }
  done = true;
  host.join();
  EXPECT_GT(resets.load(), 0u);
  EXPECT_EQ(engine_.CountCalls("ReleaseSession"), 4u);
  // A pause from the host's thread mid-transfer: no further attempt, nothing left to abort.
  FakeSessionScript endless;
  endless.polls = {FakePoll{3, 1000, 1, 1, 1}, FakePoll{3, 1000, 2, 1, 1}};
  engine_.SetDefaultSession(endless);
  const size_t polled = engine_.CountCalls("GetStatus");
  std::thread pauser([&] {
    engine_.WaitUntil([&] { return engine_.CountCalls("GetStatus") >= polled + 3; });
    worker_->SetRunning(false);
    int32_t abortResult = -1;
    EXPECT_TRUE(worker_->AbortCurrentSession(&abortResult));
    EXPECT_EQ(abortResult, 0);
  });
  DownloadJob job = MakeJob({kA, kB});
  EXPECT_EQ(worker_->RunFile(job).code, 2);
  pauser.join();
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 5u);
  EXPECT_EQ(worker_->fallbacks.load(), 0);
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());
  int32_t none = -1;
  EXPECT_FALSE(worker_->AbortCurrentSession(&none));
  EXPECT_EQ(none, -1);
  EXPECT_EQ(engine_.LiveSessions(), 0u);
}

TEST(SessionStatus, NamesAndDiskFailures) {
  EXPECT_EQ(StatusName(kZdlStatusDownloaded), "Downloaded");
  EXPECT_EQ(StatusName(9), "9");
  const struct {
    int32_t code, extended;
    bool disk;
    uint32_t runState;
  } rows[] = {{4, kDiskFull, true, 5},
              {4, static_cast<int32_t>(0x80071AC3u), true, 6},
              {4, static_cast<int32_t>(0x800701E3u), true, 7},
              {4, kDenied, false, 0},
              {3, kDiskFull, false, 5}};
  for (const auto& r : rows) {
    EXPECT_EQ(IsDiskFailure({r.code, r.extended}), r.disk) << r.extended;
    EXPECT_EQ(RunStateForDiskFailure(r.extended), r.runState) << r.extended;
  }
}

class ThreadTest : public DownloadTest {
 protected:
  ~ThreadTest() override { StopThread(); }
  void StartThread() {
    control_.controlState = kControlResumed;
    thread_ = std::async(std::launch::async, [this] {
      DownloadThreadContext context{queue_, control_, *worker_, timing_};
      return RunDownloadThread(context);
    });
  }
  // Ends the thread as the downloader's destruction does; its exit code.
  uint32_t StopThread() {
    if (!thread_.valid()) return 0;
    control_.quit.Raise();
    worker_->RequestQuit();
    return thread_.get();
  }
  bool IdleAfter(size_t sessions) {
    return engine_.WaitUntil([&] {
      return queue_.IsEmpty() && control_.runState == kLumoRunStateIdle &&
             engine_.CountCalls("CreateSession") == sessions;
    });
  }
  JobQueue queue_;
  ControlWords control_;
  std::future<uint32_t> thread_;
};

TEST_F(ThreadTest, FailedJobRunsOnceMoreBehindTheOthersThenLeaves) {
  for (auto script : {Fails(3), Fails(3), Succeeds(), Succeeds(), Fails(6), Fails(6)})
    engine_.QueueSession(script);
  const std::string c = "http://127.0.0.1/c.bin";
  for (const std::string& url : {kA, kB, c}) queue_.PushBack(MakeJob({url}));
  StartThread();
  ASSERT_TRUE(IdleAfter(6));
  EXPECT_EQ(CreatedUrls(), (std::vector<std::string>{kA, kA, kB, c, kA, kA}));
  EXPECT_EQ(StopThread(), 0u);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 6u);
}

TEST_F(ThreadTest, DiskFullPausesWithTheJobFirstAndResumeRunsItAsFirstRun) {
  engine_.QueueSession(Fails(4, kDiskFull));
  engine_.SetDefaultSession(Fails(3));
  queue_.PushBack(MakeJob({kA, kB}));
  StartThread();
  ASSERT_TRUE(engine_.WaitUntil([&] { return control_.controlState == kControlPaused; }));
  EXPECT_EQ(control_.runState.load(), static_cast<uint32_t>(kLumoRunStateDiskFull));
  DownloadJob head;
  ASSERT_TRUE(queue_.CopyFront(&head));
  EXPECT_EQ(queue_.Size(), 1u);
  EXPECT_EQ(head.retryCount, 0);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 1u);
  // The host's Resume: the job's first real run fails (four attempts), is put back once, fails
  // again and leaves.
  control_.controlState = kControlResumed;
  control_.runState = kLumoRunStateRunning;
  ASSERT_TRUE(IdleAfter(9));
  EXPECT_EQ(StopThread(), 0u);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 9u);
}

}  // namespace
}  // namespace testing
}  // namespace lumo
