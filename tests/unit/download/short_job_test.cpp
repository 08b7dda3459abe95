// Small files with the real engine and a local server: a job ends in a fraction of the worker's
// and the monitor's poll intervals, because the worker is woken and the monitor and the text
// request look for their answer's end between polls. The polls here last a minute, so a job
// that waited out even one of them would miss every bound below.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <sstream>

#include "download/download_thread.h"
#include "download_test_env.h"
#include "engine_services.h"
#include "local_services.h"

namespace lumo {
namespace testing {
namespace {

using std::chrono::steady_clock;

constexpr size_t kSmallFile = 64 * 1024;
constexpr auto kWellUnderOnePoll = std::chrono::seconds(15);

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class ShortJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    ASSERT_GE(zdl::EngineInit(), 0);
    ASSERT_GE(zdl::EngineGetObject(&IID_IZDownloadService, reinterpret_cast<void**>(&downloads_)),
              0);
    ASSERT_GE(zdl::EngineGetObject(&IID_IZHttpService, reinterpret_cast<void**>(&http_)), 0);

    timing_.workerPoll = std::chrono::minutes(1);
    timing_.sessionPoll = std::chrono::minutes(1);
    timing_.httpPoll = std::chrono::seconds(2);  // 50 of them: the request's bound
    const Endpoints endpoints{server_.Url("/post"), server_.Url("/cdn-domain/"),
                              server_.Url("/?ws_domain="), "cdn.lumo.test"};
    reporter_ = std::make_unique<Reporter>(http_, endpoints.reportUrl, timing_);
    worker_ = std::make_unique<DownloadWorker>(timing_, endpoints, downloads_, http_, *reporter_,
                                               options_, WString());

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    saveDir_ = ::testing::TempDir() + "lumo_short_" + info->name();
    platform::CreateDirectories(WideOfUtf8(saveDir_));
  }

  void TearDown() override {
    worker_.reset();
    if (reporter_) reporter_->Stop();
    if (downloads_ != nullptr) downloads_->Release();
    if (http_ != nullptr) http_->Release();
    zdl::EngineTerm();
    server_.Stop();
  }

  // Serves a fresh 64 KiB file and returns its URL; its bytes in *content.
  std::string ServeSmallFile(const std::string& name, std::string* content) {
    *content = RandomBytes(kSmallFile, static_cast<uint32_t>(std::hash<std::string>()(name)));
    server_.AddFile("/small/" + name, *content);
    return server_.Url("/small/" + name);
  }

  DownloadJob MakeJob(const std::string& url, const std::string& name) {
    DownloadJob job;
    job.urls = {url};
    const WString dir = WideOfUtf8(saveDir_);
    const WString file = WideOfUtf8(name);
    CopyIntoJobBuffer(dir.c_str(), &job.saveDir);
    CopyIntoJobBuffer(file.c_str(), &job.fileName);
    return job;
  }

  std::string PathOf(const std::string& name) const {
    return saveDir_ + platform::kPathSeparator + name;
  }

  services::LocalServices server_;
  IZDownloadService* downloads_ = nullptr;
  IZHttpService* http_ = nullptr;
  Timing timing_;  // production values but for the polls set above
  OptionStore options_;
  std::unique_ptr<Reporter> reporter_;
  std::unique_ptr<DownloadWorker> worker_;
  std::string saveDir_;
  LogTail log_;
};

TEST_F(ShortJobTest, SmallFileEndsWellUnderOnePoll) {
  std::string content;
  const std::string url = ServeSmallFile("one.bin", &content);
  DownloadJob job = MakeJob(url, "one.bin");
  const steady_clock::time_point begin = steady_clock::now();
  const DownloadResult result = worker_->RunFile(job);
  const steady_clock::duration took = steady_clock::now() - begin;
  EXPECT_EQ(result.code, 0);
  EXPECT_LT(took, kWellUnderOnePoll);
  EXPECT_EQ(ReadFile(PathOf("one.bin")), content);
  // The preferred-domain request was answered and the monitor saw the end in a counted poll.
  EXPECT_EQ(server_.CdnRequests(), std::vector<std::string>{"global"});
  EXPECT_EQ(log_.CountContaining("WARN - Failed to get content from "), 0u);
  EXPECT_EQ(log_.Count("INFO - Download status changed to Downloaded"), 1u);
  EXPECT_EQ(log_.Count("INFO - Download file success from " + url + "."), 1u);
}

TEST_F(ShortJobTest, QueuedSmallFilesRunBackToBack) {
  JobQueue queue;
  ControlWords control;
  control.controlState = kControlResumed;
  std::vector<std::string> contents(10);
  for (size_t i = 0; i < contents.size(); ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    queue.PushBack(MakeJob(ServeSmallFile(name, &contents[i]), name));
  }
  const steady_clock::time_point begin = steady_clock::now();
  control.wake.Raise();  // as Start does
  std::future<uint32_t> thread = std::async(std::launch::async, [&] {
    DownloadThreadContext context{queue, control, *worker_, timing_};
    return RunDownloadThread(context);
  });
  const bool drained = [&] {
    while (steady_clock::now() - begin < kWellUnderOnePoll) {
      if (queue.IsEmpty() && control.runState == kLumoRunStateIdle) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }();
  control.quit.Raise();
  worker_->RequestQuit();
  EXPECT_EQ(thread.get(), 0u);
  ASSERT_TRUE(drained);
  for (size_t i = 0; i < contents.size(); ++i) {
    EXPECT_EQ(ReadFile(PathOf("f" + std::to_string(i) + ".bin")), contents[i]) << i;
  }
}

}  // namespace
}  // namespace testing
}  // namespace lumo
