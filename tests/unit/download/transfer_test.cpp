// One monitored transfer: reports, milestones, stall abort, size check, options, releases.
#include <gtest/gtest.h>

#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kUrl = "http://127.0.0.1/pkg/a.bin";

std::vector<FakePoll> Repeat(FakePoll poll, size_t count) {
  return std::vector<FakePoll>(count, poll);
}

size_t GetStatusCallsBeforeAbort(const std::vector<std::string>& calls) {
  size_t polls = 0;
  for (const std::string& call : calls) {
    if (call == "Abort") return polls;
    if (call == "GetStatus") ++polls;
  }
  return 0;
}

using TransferTest = DownloadTest;

TEST_F(TransferTest, SuccessAndFailureOfOneUrl) {
  engine_.QueueSession(Succeeds());
  DownloadJob job = MakeJob({kUrl});
  DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 0);
  ASSERT_EQ(engine_.SessionRequests().size(), 1u);
  // The engine got the name the host is told of, and no checksum file.
  EXPECT_EQ(engine_.SessionRequests()[0].fileName, u"a.bin");
  EXPECT_FALSE(engine_.SessionRequests()[0].checksumPathNull);
  EXPECT_EQ(engine_.SessionRequests()[0].checksumPath, u"");
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());

  engine_.QueueSession(Fails(5));
  engine_.QueueSession(Fails(5));
  job = MakeJob({kUrl}, "named.bin");
  EXPECT_EQ(worker_->RunFile(job).code, 5);
  EXPECT_EQ(engine_.CountCalls("ReleaseSession"), 3u);
  EXPECT_EQ(engine_.LiveSessions(), 0u);
  // One report per failed attempt, then the job's own.
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0]["errExtCode"], "0");
  EXPECT_EQ(reports[0]["cdnUrl"], kUrl);
  EXPECT_EQ(reports[0]["downloadFileName"], "named.bin");
  EXPECT_EQ(reports[0]["saveDirExists"], "1");
  EXPECT_EQ(reports[2].count("cdnUrl"), 0u);  // empty: left out of the body
  EXPECT_EQ(reports[2]["err"], reports[0]["err"]);
}

// A certificate that does not verify keeps its message and says why in the detail.
TEST_F(TransferTest, EngineFailureDetailGoesToTheReport) {
  FakeSessionScript untrusted = Fails(3, 60);
  untrusted.failureDetail = "certificate verification failed: self-signed certificate";
  engine_.SetDefaultSession(untrusted);
  DownloadJob job = MakeJob({kUrl});
  worker_->RunFile(job);
  const std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 3u);
  Form engineFailure = reports[0];
  EXPECT_NE(engineFailure["exceptionMsg"].find(untrusted.failureDetail), std::string::npos);
  EXPECT_EQ(engineFailure["err"], untrusted.failureDetail);
  EXPECT_EQ(engineFailure["errExtCode"], "60");
  Form jobFailure = reports[2];
  EXPECT_EQ(jobFailure["err"], "Network error");  // the job's own report keeps the message
}

// 120 counted polls without a byte abort the session (the next attempt then delivers); preparing
// polls are not counted, and one byte of growth starts the count again.
TEST_F(TransferTest, StallAbortAfter120PollsWithoutData) {
  struct Case {
    const char* why;
    std::vector<FakePoll> polls;
    size_t pollsBeforeAbort;  // 0: no abort
  } cases[] = {
      {"stalled: one uncounted poll, then counted polls 0 to 120",
       {FakePoll{1, 0, 0, 0, 0}, FakePoll{3, 1000, 0, 0, 0}},
       122},
      {"one byte at poll 120", Repeat(FakePoll{3, 1000, 0, 0, 0}, 120), 241},
      {"200 polls preparing", Repeat(FakePoll{1, 0, 0, 0, 0}, 200), 0},
  };
  cases[1].polls.push_back(FakePoll{3, 1000, 1, 0, 0});
  cases[2].polls.push_back(FakePoll{4, 10, 10, 1, 1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FakeEngine engine;
    Reporter reporter(engine.HttpService(), TestEndpoints().reportUrl, timing_);
    ProbeWorker worker(timing_, engine, reporter, options_);
    FakeSessionScript script;
    script.polls = c.polls;
    engine.QueueSession(script);
    engine.QueueSession(Succeeds());
    DownloadJob job = MakeJob({kUrl});
    EXPECT_EQ(worker.RunFile(job).code, 0);
    EXPECT_EQ(GetStatusCallsBeforeAbort(engine.Calls()), c.pollsBeforeAbort);
    EXPECT_EQ(engine.CountCalls("ReleaseSession"), c.pollsBeforeAbort ? 2u : 1u);
    engine.WaitUntil([&] { return reporter.PendingForTest() == 0; });
    size_t stalls = 0;  // the aborted session's own end is not reported again
    for (const FakeHttpRequestRecord& request : engine.HttpRequests()) {
      Form form = ParseForm(request.body);
      if (form["eventType"] == kEventRunningException) {
        ++stalls;
        EXPECT_EQ(form["err"], "Active abort");
      }
    }
    EXPECT_EQ(stalls, c.pollsBeforeAbort ? 1u : 0u);
  }
}

TEST_F(TransferTest, SizeCheckOnlyAgainstALengthTheServerGave) {
  struct Case {
    const char* why;
    std::vector<FakePoll> polls;
    std::vector<std::string> unnormalSizes;  // "fileSize/downloadedFileSize" of each event
    uint64_t totalMidway;                    // words 8 and 10 while the last poll is pending
    uint64_t downloadedMidway;
  };
  const Case cases[] = {
      {"more than the total",
       {FakePoll{3, 100, 150, 5, 5}, FakePoll{3, 100, 160, 5, 5}, FakePoll{4, 100, 100, 5, 5}},
       {"100/150", "100/160"},  // reported before the cap
       100,
       100},
      {"no length (chunked): the bytes received show",
       {FakePoll{3, 0, 50, 5, 5}, FakePoll{3, 0, 120, 5, 5}, FakePoll{4, 120, 120, 5, 5}},
       {},
       0,
       120},
      {"a known total once, then none",
       {FakePoll{3, 100, 50, 5, 5}, FakePoll{3, 0, 160, 5, 5}, FakePoll{4, 160, 160, 5, 5}},
       {},
       100,
       160},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    worker_->ResetWorker();
    const size_t eventsBefore = SentEvents(kEventFileDownload).size();
    FakeSessionScript script;
    script.polls = c.polls;
    DownloadStatus midway{};
    const size_t last = c.polls.size() - 1;
    script.onPoll = [&](size_t index) {
      if (index == last) worker_->RefreshStatus(&midway);
    };
    engine_.QueueSession(script);
    DownloadJob job = MakeJob({kUrl});
    EXPECT_EQ(worker_->RunFile(job).code, 0);
    std::vector<std::string> unnormal;
    const std::vector<Form> events = SentEvents(kEventFileDownload);
    for (size_t i = eventsBefore; i < events.size(); ++i) {
      Form f = events[i];
      if (f["downloadState"] == "DOWNLOADING_UNNORMAL") {
        unnormal.push_back(f["fileSize"] + "/" + f["downloadedFileSize"]);
      }
    }
    EXPECT_EQ(unnormal, c.unnormalSizes);
    EXPECT_EQ(midway.words[8], c.totalMidway);
    EXPECT_EQ(midway.words[10], c.downloadedMidway);
  }
}

TEST_F(TransferTest, MilestonesCarryTheirDurationsAndSpeedWindows) {
  timing_.milestonePolls = 5;
  worker_.reset(new ProbeWorker(timing_, engine_, reporter_, options_));
  FakeSessionScript script;
  script.polls = {
      FakePoll{1, 0, 0, 0, 0},          // not counted
      FakePoll{3, 1000, 0, 0, 0},       // counted poll 0
      FakePoll{3, 1000, 0, 0, 0},       // 1
      FakePoll{3, 1000, 100, 50, 50},   // 2: START_DOWNLOAD, duration 2
      FakePoll{3, 1000, 200, 50, 10},   // 3
      FakePoll{3, 1000, 300, 50, 30},   // 4
      FakePoll{3, 1000, 400, 50, 20},   // 5: DOWNLOADING, duration 3, max 30, min 10
      FakePoll{3, 1000, 500, 50, 0},    // 6
      FakePoll{4, 1000, 1000, 60, 40},  // 7: DOWNLOADED, duration 2, max 40, min 40
  };
  engine_.QueueSession(script);
  DownloadJob job = MakeJob({kUrl});
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  std::vector<Form> events = SentEvents(kEventFileDownload);
  std::vector<std::string> seen;  // state duration max min downloaded/size average
  for (Form& e : events) {
    seen.push_back(e["downloadState"] + " " + e["downloadDuration"] + " " + e["maxDownloadSpeed"] +
                   " " + e["minDownloadSpeed"] + " " + e["downloadedFileSize"] + "/" +
                   e["fileSize"] + " " + e["averageDownloadSpeed"]);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"START_DOWNLOAD 2 50 50 100/1000 50",
                                            "DOWNLOADING 3 30 10 400/1000 50",
                                            "DOWNLOADED 2 40 40 1000/1000 60"}));
  for (Form& event : events) {
    EXPECT_EQ(event["downloadUuid"], events[0]["downloadUuid"]);  // one transfer, one id
    EXPECT_EQ(event["success"], "1");
  }
  // No speed seen: the untouched minimum is sent.
  FakeSessionScript quiet;
  quiet.polls = {FakePoll{4, 10, 10, 0, 0}};
  engine_.QueueSession(quiet);
  job = MakeJob({kUrl});
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  events = SentEvents(kEventFileDownload);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3]["minDownloadSpeed"], "4294967295");
  EXPECT_EQ(events[3]["downloadDuration"], "0");
}

TEST_F(TransferTest, EngineOptionsAreReappliedInAscendingHostIdOrder) {
  const uint32_t four = 4;
  const uint8_t yes = 1;
  options_.Set(11, &four, 4);
  options_.Set(8, "sid-text", 8);
  options_.Set(3, "http://proxy", 12);
  options_.Set(0, &four, 4);
  options_.Set(2, &yes, 1);
  engine_.QueueSession(Succeeds());
  DownloadJob job = MakeJob({kUrl});
  worker_->RunFile(job);
  std::vector<std::string> between;
  bool inside = false;
  for (const std::string& call : engine_.Calls()) {
    if (call.rfind("CreateSession", 0) == 0)
      inside = true;
    else if (call == "Start")
      break;
    else if (inside && call.rfind("SetOption", 0) == 0)  // the sender's posts interleave
      between.push_back(call);
  }
  EXPECT_EQ(between, (std::vector<std::string>{"SetOption 0 4", "SetOption 2 1", "SetOption 3 12",
                                               "SetOption 5 4"}));
}

TEST_F(TransferTest, HostOptionReachesTheRunningSessionOnly) {
  const uint32_t limit = 1000;
  worker_->ApplyToCurrentSession(0, &limit, 4);  // no session: nothing happens
  FakeSessionScript script = Succeeds();
  script.onPoll = [&](size_t index) {
    if (index == 0) worker_->ApplyToCurrentSession(1, &limit, 4);
  };
  engine_.QueueSession(script);
  DownloadJob job = MakeJob({kUrl});
  worker_->RunFile(job);
  EXPECT_EQ(engine_.CountCalls("SetOption"), 1u);
  EXPECT_EQ(engine_.CountCalls("SetOption 1 4"), 1u);
  EXPECT_EQ(engine_.CountCalls("ReleaseSession"), 1u);
}

TEST_F(TransferTest, RefusedSessionsAreReportedAndReleased) {
  struct Case {
    const char* why;
    int32_t createStatus;
    bool sessionOnCreateFailure;
    int32_t startStatus;
    size_t releases;  // over the two attempts
  } cases[] = {
      {"create fails, no session", kZdlFail, false, kZdlOk, 0},
      {"create fails with a session", kZdlFail, true, kZdlOk, 2},
      {"start fails", kZdlOk, false, kZdlFail, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FakeEngine engine;
    Reporter reporter(engine.HttpService(), TestEndpoints().reportUrl, timing_);
    ProbeWorker worker(timing_, engine, reporter, options_);
    FakeSessionScript refused;
    refused.createStatus = c.createStatus;
    refused.sessionOnCreateFailure = c.sessionOnCreateFailure;
    refused.startStatus = c.startStatus;
    engine.SetDefaultSession(refused);
    DownloadJob job = MakeJob({kUrl});
    EXPECT_EQ(worker.RunFile(job).code, 1);
    EXPECT_EQ(engine.CountCalls("CreateSession"), 2u);
    EXPECT_EQ(engine.CountCalls("ReleaseSession"), c.releases);
    EXPECT_EQ(engine.LiveSessions(), 0u);
    EXPECT_EQ(engine.CountCalls("GetStatus"), 0u);
    engine.WaitUntil([&] { return reporter.PendingForTest() == 0; });
    size_t reports = 0;
    for (const FakeHttpRequestRecord& request : engine.HttpRequests()) {
      Form form = ParseForm(request.body);
      if (form["eventType"] == kEventRunningException) {
        ++reports;
        EXPECT_EQ(form["err"], reports < 3 ? platform::SystemErrorText(kZdlFail) : "General error");
      }
    }
    EXPECT_EQ(reports, 3u);
  }
}

TEST_F(TransferTest, FileSystemErrorAfterPauseIsNotReported) {
  FakeSessionScript failing = Fails(4, static_cast<int32_t>(0x80070005u));
  failing.onPoll = [&](size_t) { worker_->SetRunning(false); };
  engine_.QueueSession(failing);
  DownloadJob job = MakeJob({kUrl});
  EXPECT_EQ(worker_->RunFile(job).code, 4);
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());
}

TEST_F(TransferTest, PlainTransferSetsOverwriteAndKeepsQuiet) {
  engine_.QueueSession(Succeeds());
  const WString folder = WideOfUtf8(saveDir_);
  const DownloadResult ok = worker_->TransferPlain(kUrl, folder, WideOfUtf8("sum.md5"));
  EXPECT_EQ(ok.code, 0);
  ASSERT_EQ(engine_.SessionRequests().size(), 1u);
  EXPECT_TRUE(engine_.SessionRequests()[0].checksumPathNull);
  EXPECT_EQ(engine_.SessionRequests()[0].fileName, u"sum.md5");
  EXPECT_EQ(engine_.CountCalls("SetOption 2 1"), 1u);
  EXPECT_EQ(engine_.CountCalls("GetFileInfo"), 0u);

  FakeSessionScript unstartable;
  unstartable.startStatus = kZdlFail;
  engine_.QueueSession(unstartable);
  EXPECT_EQ(worker_->TransferPlain(kUrl, folder, WideOfUtf8("sum.md5")).code, 1);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["downloadFileName"], "sum.md5");  // the argument, not the job's name
  EXPECT_EQ(engine_.LiveSessions(), 0u);
  EXPECT_TRUE(SentEvents(kEventFileDownload).empty());
}

// Between two counted polls the monitor looks for the session's end. A session that ends there
// is taken up at once: that look becomes the counted poll of the moment, with the full pass.
TEST_F(TransferTest, SessionEndingBetweenPollsIsTakenUpAtTheNextLook) {
  timing_.sessionPoll = std::chrono::minutes(1);  // waiting out a single poll would show
  timing_.sessionLook = std::chrono::milliseconds(1);
  worker_.reset(new ProbeWorker(timing_, engine_, reporter_, options_));
  FakeSessionScript script;
  script.polls = {
      FakePoll{1, 0, 0, 0, 0},          // looks: nothing logged, nothing stored
      FakePoll{3, 1000, 500, 70, 90},   // look
      FakePoll{3, 1000, 900, 70, 80},   // look
      FakePoll{4, 1000, 1000, 60, 40},  // counted poll 0
  };
  engine_.QueueSession(script);
  DownloadJob job = MakeJob({kUrl});
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
  EXPECT_EQ(engine_.CountCalls("GetStatus"), 4u);
  std::vector<Form> events = SentEvents(kEventFileDownload);
  ASSERT_EQ(events.size(), 2u);
  // Speeds seen only by looks are not in the window.
  EXPECT_EQ(events[0]["downloadState"], "START_DOWNLOAD");
  EXPECT_EQ(events[0]["downloadDuration"], "0");
  EXPECT_EQ(events[0]["maxDownloadSpeed"], "40");
  EXPECT_EQ(events[1]["downloadState"], "DOWNLOADED");
  EXPECT_EQ(events[1]["downloadDuration"], "0");
  EXPECT_EQ(events[1]["downloadedFileSize"], "1000");
  EXPECT_EQ(events[1]["averageDownloadSpeed"], "60");
}

}  // namespace
}  // namespace testing
}  // namespace lumo
