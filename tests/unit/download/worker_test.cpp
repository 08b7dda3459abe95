// The job driver: naming the file, the URL walk, pauses, the job's report and the progress the
// host reads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kUrl1 = "http://127.0.0.1/one/data.bin";
const std::string kUrl2 = "http://localhost/two/data.bin";

using WorkerTest = DownloadTest;

// Two attempts per URL, in order; a full disk ends the walk, a size beyond the free space only
// that URL; the resolved-address fallback comes after the last failure.
TEST_F(WorkerTest, TheUrlWalk) {
  const int32_t diskFull = static_cast<int32_t>(0x80070070u);
  const std::string a = kUrl1, b = kUrl2;
  struct Case {
    const char* why;
    std::vector<FakeSessionScript> queued;
    FakeSessionScript otherwise;
    int32_t code;
    int32_t extendedCode;
    std::vector<std::string> created;
    int fallbacks;
  } cases[] = {
      {"every attempt fails", {}, Fails(3), 3, 0, {a, a, b, b}, 1},
      {"the second attempt succeeds", {Fails(7)}, Succeeds(), 0, 0, {a, a}, 0},
      {"a full disk", {}, Fails(4, diskFull), 4, diskFull, {a}, 0},
      {"too big for the disk, the next URL delivers",
       {Fails(4, kZdlExtClaimExceedsSpace)},
       Succeeds(),
       0,
       0,
       {a, b},
       0},
      {"too big for the disk, then no success",
       {Fails(4, kZdlExtClaimExceedsSpace)},
       Fails(5, 404),
       4,
       kZdlExtDiskFull,
       {a, b, b},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FakeEngine engine;
    Reporter reporter(engine.HttpService(), TestEndpoints().reportUrl, timing_);
    ProbeWorker worker(timing_, engine, reporter, options_);
    for (const FakeSessionScript& script : c.queued) engine.QueueSession(script);
    engine.SetDefaultSession(c.otherwise);
    DownloadJob job = MakeJob({a, b});
    const DownloadResult result = worker.RunFile(job);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.extendedCode, c.extendedCode);
    EXPECT_EQ(testing::CreatedUrls(engine), c.created);
    EXPECT_EQ(worker.fallbacks.load(), c.fallbacks);
    if (c.fallbacks > 0) {
      EXPECT_EQ(worker.sessionsBeforeFallback.load(), c.created.size());
    }
    EXPECT_EQ(engine.LiveSessions(), 0u);
    EXPECT_EQ(worker.CompletedFiles(), c.code == 0 ? PathOf("data.bin") : "");
  }
}

TEST_F(WorkerTest, PauseDuringFirstAttemptSkipsEverythingAfterIt) {
  FakeSessionScript endless;
  endless.polls = {FakePoll{3, 1000, 1, 1, 1}, FakePoll{3, 1000, 2, 1, 1}};
  engine_.SetDefaultSession(endless);
  // The host pauses from its own thread once the transfer is being polled.
  std::thread host([&] {
    engine_.WaitUntil([&] { return engine_.CountCalls("GetStatus") >= 3; });
    worker_->SetRunning(false);
    int32_t abortResult = -1;
    EXPECT_TRUE(worker_->AbortCurrentSession(&abortResult));
    EXPECT_EQ(abortResult, 0);
  });
  DownloadJob job = MakeJob({kUrl1, kUrl2});
  const DownloadResult result = worker_->RunFile(job);
  host.join();
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 1u);
  EXPECT_EQ(worker_->fallbacks.load(), 0);
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());
  int32_t none = -1;
  EXPECT_FALSE(worker_->AbortCurrentSession(&none));  // nothing left to abort
  EXPECT_EQ(none, -1);
  EXPECT_EQ(engine_.LiveSessions(), 0u);
}

TEST_F(WorkerTest, ProgressPathWithAndWithoutTrailingSeparator) {
  engine_.SetDefaultSession(Succeeds());
  const std::string withSeparator = saveDir_ + "/";
  DownloadJob job = MakeJob({kUrl1}, "x.bin", &withSeparator);
  worker_->RunFile(job);
  EXPECT_EQ(worker_->CurrentPath(), saveDir_ + "/x.bin");
  DownloadJob bare = MakeJob({kUrl1}, "y.bin");
  worker_->RunFile(bare);
  EXPECT_EQ(worker_->CurrentPath(), saveDir_ + platform::kPathSeparator + "y.bin");
  DownloadJob unnamed = MakeJob({"http://127.0.0.1/dl/"});  // no name in the URL either
  worker_->RunFile(unnamed);
  EXPECT_EQ(worker_->CurrentPath(), PathOf("unnamed"));
  EXPECT_EQ(engine_.SessionRequests().back().fileName, u"unnamed");
  const std::string sep(1, platform::kPathSeparator);
  EXPECT_EQ(worker_->CompletedFiles(),  // in path order
            saveDir_ + sep + "unnamed;" + saveDir_ + "/x.bin;" + saveDir_ + sep + "y.bin");
  worker_->ResetWorker();
  EXPECT_EQ(worker_->CurrentPath(), "");
  EXPECT_EQ(worker_->CompletedFiles(), "");
}

TEST_F(WorkerTest, JobWithoutSaveDirectoryGetsNoRecordAndIsReported) {
  const std::string empty;
  DownloadJob job = MakeJob({kUrl1}, "z.bin", &empty);
  const DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 0u);
  EXPECT_EQ(worker_->CurrentPath(), "z.bin");
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["err"], "Cannot get Download File Object");
  EXPECT_EQ(reports[0]["saveDirExists"], "0");
}

TEST_F(WorkerTest, StatusWordsAndCompletedFilesAfterSeveralJobs) {
  engine_.QueueSession(Succeeds(100));  // b.bin: 0
  engine_.QueueSession(Fails(3));       // a.bin: 3
  engine_.QueueSession(Fails(3));
  DownloadJob b = MakeJob({kUrl1}, "b.bin");
  DownloadJob a = MakeJob({kUrl1}, "a.bin");
  worker_->RunFile(b);
  worker_->RunFile(a);
  DownloadStatus status;
  worker_->RefreshStatus(&status);
  EXPECT_EQ(status.words[14], 2u);
  EXPECT_EQ(status.words[15], 1u);
  EXPECT_EQ(status.words[16], 3u);
  EXPECT_EQ(status.words[8], 100u);
  EXPECT_EQ(status.words[10], 100u);

  engine_.QueueSession(Fails(4, static_cast<int32_t>(0x80070005u)));  // c.bin: 4, no pause
  engine_.QueueSession(Fails(4, static_cast<int32_t>(0x80070005u)));
  DownloadJob c = MakeJob({kUrl1}, "c.bin");
  worker_->RunFile(c);
  worker_->RefreshStatus(&status);
  EXPECT_EQ(status.words[14], 3u);
  EXPECT_EQ(status.words[15], 2u);
  EXPECT_EQ(status.words[16], 2u);
  EXPECT_EQ(worker_->CompletedFiles(), PathOf("b.bin"));

  engine_.QueueSession(Succeeds(100));
  DownloadJob again = MakeJob({kUrl1}, "a.bin");  // a requeued job finds its record again
  worker_->RunFile(again);
  worker_->RefreshStatus(&status);
  EXPECT_EQ(status.words[14], 3u);
  EXPECT_EQ(worker_->CompletedFiles(), PathOf("a.bin") + ";" + PathOf("b.bin"));
}

TEST_F(WorkerTest, RecordReadsUnderWayWhileTheTransferRuns) {
  FakeSessionScript script = Succeeds();
  DownloadStatus during{};
  script.onPoll = [&](size_t index) {
    if (index == 1) worker_->RefreshStatus(&during);
  };
  engine_.QueueSession(script);
  DownloadJob job = MakeJob({kUrl1});
  worker_->RunFile(job);
  EXPECT_EQ(during.words[14], 1u);
  EXPECT_EQ(during.words[15], 1u);
  EXPECT_EQ(during.words[16], 1u);
  EXPECT_EQ(during.words[10], 50u);  // the first counted poll's count
  EXPECT_EQ(during.words[13], 10u);
}

TEST_F(WorkerTest, StatisticsSampleIsReported) {
  worker_->SetSid("s1");
  worker_->SetGameCode("g1");
  worker_->SetClientVersion("1.0");
  worker_->SampleStatistics();
  engine_.SetDefaultSession(Succeeds(64));
  DownloadJob job = MakeJob({kUrl1}, "s.bin");
  worker_->RunFile(job);
  worker_->SampleStatistics();
  const std::string text = PathOf("s.bin") + ",total=64,complete=64;";
  std::vector<Form> samples = SentEvents(kEventDownloadStatistics);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].count("statistics_msg"), 0u);
  EXPECT_EQ(samples[1]["statistics_msg"], text);
  EXPECT_EQ(samples[1]["sid"], "s1");
}

// The host's progress calls and resets hammer the worker while transfers run: the sanitizer
// builds check that no freed record is touched and no word is raced.
TEST_F(WorkerTest, ResetProgressDuringTransfersIsSafe) {
  FakeSessionScript busy;
  for (uint64_t i = 1; i <= 300; ++i) {
    busy.polls.push_back(FakePoll{3, 100000, i * 100, 7, static_cast<uint32_t>(i)});
  }
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
  EXPECT_EQ(engine_.LiveSessions(), 0u);
  EXPECT_EQ(engine_.CountCalls("ReleaseSession"), 4u);
}

}  // namespace
}  // namespace testing
}  // namespace lumo
