// The downloader object as the module builds it, bound to the real engine in this process, with
// short intervals and endpoints of the test's choosing.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/endpoints.h"
#include "base/timing.h"
#include "module/downloader.h"
#include "module/engine_binding.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "telemetry/reporter.h"

namespace lumo::faults {

namespace fs = std::filesystem;

// The real engine, started once per binding; released and terminated at the end.
class RealEngine final : public EngineBinding {
 public:
  RealEngine();
  ~RealEngine() override;
  int32_t Bind(std::string* errorText) override;
  IZDownloadService* DownloadService() const override { return download_; }
  IZHttpService* HttpService() const override { return http_; }
  void ReleaseAndTerminate() override;
  bool IsLoaded() const override { return loaded_; }

 private:
  IZDownloadService* download_ = nullptr;
  IZHttpService* http_ = nullptr;
  bool loaded_ = false;
};

// Intervals a hundred times shorter; text requests and telemetry waits keep bounds that a
// loaded test machine meets.
Timing FaultTiming();

class Downloader {
 public:
  Downloader(const Endpoints& endpoints, const Timing& timing = FaultTiming());
  ~Downloader();  // Shutdown()

  ILumoDownloader* operator->() const { return object_; }
  int32_t Add(const std::vector<std::string>& urls, const fs::path& dir, const std::string& name,
              const std::vector<std::string>& checksumUrls = {},
              const std::string& checksumMd5 = std::string()) {
    return lumo::testing::AddJob(object_, urls, dir, name, checksumUrls, checksumMd5);
  }
  // Start and poll until the queue ran dry; false when the bound passed first.
  bool RunUntilIdle(std::chrono::milliseconds bound);
  std::vector<std::string> Completed() { return lumo::testing::CompletedFiles(object_); }
  DownloadStatus Status();
  // Stop and release; how long that took.
  std::chrono::milliseconds Shutdown();

 private:
  RealEngine engine_;
  Reporter reporter_;
  LumoDownloader* object_ = nullptr;
};

using lumo::testing::Md5Hex;
using lumo::testing::RandomBytes;
std::string FileMd5(const fs::path& path);
fs::path ScenarioDir(const std::string& name);

}  // namespace lumo::faults
