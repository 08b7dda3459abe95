// The host's progress calls and resets hammer the worker while transfers run: the sanitizer
// builds check that no freed record is touched and no word is raced.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

using ResetRaceTest = DownloadTest;

TEST_F(ResetRaceTest, ResetProgressDuringTransfersIsSafe) {
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
