// The worker thread's loop: queue order, the one requeue, disk pauses, pause and stop.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "download/download_thread.h"
#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kA = "http://127.0.0.1/a.bin";
const std::string kB = "http://127.0.0.1/b.bin";
const std::string kC = "http://127.0.0.1/c.bin";

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
  bool WaitFor(const std::function<bool()>& pred) { return engine_.WaitUntil(pred); }

  JobQueue queue_;
  ControlWords control_;
  std::future<uint32_t> thread_;
};

TEST_F(ThreadTest, FailedJobRunsOnceMoreBehindTheOthersThenLeaves) {
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Succeeds());
  engine_.QueueSession(Succeeds());
  engine_.QueueSession(Fails(6));
  engine_.QueueSession(Fails(6));
  queue_.PushBack(MakeJob({kA}));
  queue_.PushBack(MakeJob({kB}));
  queue_.PushBack(MakeJob({kC}));
  StartThread();
  ASSERT_TRUE(WaitFor([&] {
    return queue_.IsEmpty() && control_.runState == kLumoRunStateIdle &&
           engine_.CountCalls("CreateSession") == 6;
  }));
  EXPECT_EQ(CreatedUrls(), (std::vector<std::string>{kA, kA, kB, kC, kA, kA}));
  EXPECT_EQ(StopThread(), 0u);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 6u);
}

TEST_F(ThreadTest, DiskFullPausesWithTheJobFirstAndResumeRunsItAsFirstRun) {
  engine_.QueueSession(Fails(4, static_cast<int32_t>(0x80070070u)));
  engine_.SetDefaultSession(Fails(3));
  queue_.PushBack(MakeJob({kA, kB}));
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return control_.controlState == kControlPaused; }));
  EXPECT_EQ(control_.runState.load(), static_cast<uint32_t>(kLumoRunStateDiskFull));
  DownloadJob head;
  ASSERT_TRUE(queue_.CopyFront(&head));
  EXPECT_EQ(queue_.Size(), 1u);
  EXPECT_EQ(head.retryCount, 0);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 1u);

  // The host's Resume. The job's next run is its first real one: it fails (four attempts),
  // is put back once, fails again and leaves.
  control_.controlState = kControlResumed;
  control_.runState = kLumoRunStateRunning;
  ASSERT_TRUE(WaitFor([&] {
    return queue_.IsEmpty() && control_.runState == kLumoRunStateIdle &&
           engine_.CountCalls("CreateSession") == 9;
  }));
  EXPECT_EQ(StopThread(), 0u);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 9u);
}

TEST_F(ThreadTest, PausedQueueIsNotTouchedAndAPauseMidJobKeepsItFirst) {
  FakeSessionScript endless;
  endless.polls = {FakePoll{3, 1000, 1, 1, 1}, FakePoll{3, 1000, 2, 1, 1}};
  engine_.SetDefaultSession(endless);
  queue_.PushBack(MakeJob({kA}));
  queue_.PushBack(MakeJob({kB}));
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("GetStatus") >= 2; }));
  // The host's Pause: control word first, then the running flag, then the abort.
  control_.controlState = kControlPaused;
  worker_->SetRunning(false);
  worker_->AbortCurrentSession(nullptr);
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("ReleaseSession") == 1; }));
  DownloadJob head;
  ASSERT_TRUE(queue_.CopyFront(&head));
  EXPECT_EQ(head.urls.front(), kA);
  EXPECT_EQ(head.retryCount, 0);
  EXPECT_EQ(queue_.Size(), 2u);

  engine_.SetDefaultSession(Succeeds());
  control_.controlState = kControlResumed;
  ASSERT_TRUE(WaitFor([&] { return queue_.IsEmpty(); }));
  EXPECT_EQ(CreatedUrls(), (std::vector<std::string>{kA, kA, kB}));
}

TEST_F(ThreadTest, StopEndsTheThreadWithoutRunningQueuedJobs) {
  queue_.PushBack(MakeJob({kA}));
  control_.controlState = kControlQuit;
  thread_ = std::async(std::launch::async, [this] {
    DownloadThreadContext context{queue_, control_, *worker_, timing_};
    return RunDownloadThread(context);
  });
  ASSERT_EQ(thread_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(thread_.get(), 0u);
  EXPECT_EQ(queue_.Size(), 1u);
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 0u);
}

TEST_F(ThreadTest, QuitDuringAJobEndsPromptlyAndKeepsTheJob) {
  timing_.sessionPoll = std::chrono::milliseconds(60000);
  timing_.workerPoll = std::chrono::milliseconds(60000);
  worker_.reset(new ProbeWorker(timing_, engine_, reporter_, options_));
  // The first look at the queue comes after one worker poll: make it short for this test only
  // by queueing before the thread starts and quitting once the session is started.
  Timing firstLook = timing_;
  firstLook.workerPoll = std::chrono::milliseconds(1);
  queue_.PushBack(MakeJob({kA}));
  control_.controlState = kControlResumed;
  thread_ = std::async(std::launch::async, [this, firstLook] {
    DownloadThreadContext context{queue_, control_, *worker_, firstLook};
    return RunDownloadThread(context);
  });
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("Start") == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(StopThread(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
  EXPECT_EQ(queue_.Size(), 1u);
  EXPECT_EQ(engine_.LiveSessions(), 0u);
}

// With a worker poll of a minute, only the wake-ups can make these jobs start within the bounds.
class WakeTest : public ThreadTest {
 protected:
  WakeTest() {
    timing_.workerPoll = std::chrono::minutes(1);
    worker_.reset(new ProbeWorker(timing_, engine_, reporter_, options_));
  }
  // What AddDownload does.
  void Queue(const DownloadJob& job) {
    queue_.PushBack(job);
    control_.wake.Raise();
  }
  // What the first Start does: the thread is released and woken.
  void StartAndWaitIdle() {
    control_.wake.Raise();
    StartThread();
    ASSERT_TRUE(WaitFor([&] { return control_.runState == kLumoRunStateIdle; }));
  }
};

TEST_F(WakeTest, JobQueuedIntoAnIdleThreadStartsAtOnce) {
  StartAndWaitIdle();
  Queue(MakeJob({kA}));
  ASSERT_TRUE(WaitFor([&] {
    return engine_.CountCalls("ReleaseSession") == 1 && queue_.IsEmpty() &&
           control_.runState == kLumoRunStateIdle;
  }));
  EXPECT_EQ(CreatedUrls(), std::vector<std::string>{kA});
  Queue(MakeJob({kB}));
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("ReleaseSession") == 2; }));
  EXPECT_EQ(CreatedUrls(), (std::vector<std::string>{kA, kB}));
}

TEST_F(WakeTest, NextJobStartsAsSoonAsOneEnds) {
  StartAndWaitIdle();
  queue_.PushBack(MakeJob({kA}));
  queue_.PushBack(MakeJob({kB}));
  queue_.PushBack(MakeJob({kC}));
  control_.wake.Raise();  // one wake-up for the three
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("ReleaseSession") == 3; }));
  EXPECT_EQ(CreatedUrls(), (std::vector<std::string>{kA, kB, kC}));
}

TEST_F(WakeTest, ResumeAndStopReachAWaitingThread) {
  StartAndWaitIdle();
  control_.controlState = kControlPaused;
  Queue(MakeJob({kA}));
  // The paused thread took its look and went back to waiting; the job stays.
  ASSERT_TRUE(WaitFor([&] { return !control_.wake.IsRaised(); }));
  EXPECT_EQ(engine_.CountCalls("CreateSession"), 0u);
  // Resume.
  control_.controlState = kControlResumed;
  control_.wake.Raise();
  ASSERT_TRUE(WaitFor([&] { return engine_.CountCalls("ReleaseSession") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return control_.runState == kLumoRunStateIdle; }));
  // Stop while idle.
  control_.controlState = kControlQuit;
  control_.wake.Raise();
  ASSERT_EQ(thread_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(thread_.get(), 0u);
}

}  // namespace
}  // namespace testing
}  // namespace lumo
