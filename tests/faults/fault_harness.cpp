#include "fault_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "engine_services.h"
#include "platform/platform.h"

namespace lumo::faults {

RealEngine::RealEngine() = default;

RealEngine::~RealEngine() {
  if (download_ != nullptr || http_ != nullptr) ReleaseAndTerminate();
}

int32_t RealEngine::Bind(std::string* errorText) {
  loaded_ = true;
  int32_t code = zdl::EngineInit();
  if (code >= 0)
    code = zdl::EngineGetObject(&IID_IZDownloadService, reinterpret_cast<void**>(&download_));
  if (code >= 0) code = zdl::EngineGetObject(&IID_IZHttpService, reinterpret_cast<void**>(&http_));
  if (code < 0 && errorText != nullptr) *errorText = "engine start failed";
  return code;
}

void RealEngine::ReleaseAndTerminate() {
  if (download_ != nullptr) download_->Release();
  if (http_ != nullptr) http_->Release();
  download_ = nullptr;
  http_ = nullptr;
  zdl::EngineTerm();
}

Timing FaultTiming() {
  Timing t = Timing::Scaled(100);
  t.httpPoll = std::chrono::milliseconds(10);       // a text request waits up to 0.5 s
  t.telemetryPoll = std::chrono::milliseconds(10);  // a post waits up to 1 s per attempt
  t.destructorWait = std::chrono::milliseconds(3000);
  return t;
}

Downloader::Downloader(const Endpoints& endpoints, const Timing& timing)
    : reporter_(nullptr, endpoints.reportUrl, timing) {
  object_ = new LumoDownloader(engine_, reporter_, timing, endpoints);
  object_->AddRef();
  std::string error;
  EXPECT_EQ(object_->Initialize(&error), 0) << error;
}

Downloader::~Downloader() { Shutdown(); }

bool Downloader::RunUntilIdle(std::chrono::milliseconds bound) {
  if (object_->Start() != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (object_->RunState() != kLumoRunStateIdle) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

DownloadStatus Downloader::Status() {
  DownloadStatus status{};
  object_->GetStatistics(&status);
  return status;
}

std::chrono::milliseconds Downloader::Shutdown() {
  const auto start = std::chrono::steady_clock::now();
  if (object_ != nullptr) {
    object_->Stop(0);
    object_->Release();
    object_ = nullptr;
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

std::string FileMd5(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  platform::Md5Digest md5;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    md5.Update(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  return platform::DigestHex(md5.Finish());
}

fs::path ScenarioDir(const std::string& name) {
  const fs::path dir = lumo::testing::TestDir() / name;
  fs::create_directories(dir);
  return dir;
}

}  // namespace lumo::faults
