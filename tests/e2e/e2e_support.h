// What every end-to-end scenario needs: a child process per scenario, the module loaded by file
// name as a host does, the local services on the end-to-end build's endpoints, sample files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "local_services.h"
#include "lumo/lumo_downloader.h"
#include "support/loaded_module.h"
#include "support/scratch.h"

namespace lumo::e2e {

namespace fs = std::filesystem;

using lumo::testing::Md5Hex;
using lumo::testing::ReadFile;
using lumo::testing::RunInChild;
inline fs::path ScenarioDir() { return lumo::testing::TestDir(); }
inline void WriteRandomFile(const fs::path& path, uint64_t size, uint32_t seed) {
  lumo::testing::WriteFile(path, lumo::testing::RandomBytes(size, seed));
}

// Byte-for-byte comparison that reports sizes, not the contents.
::testing::AssertionResult SameFiles(const fs::path& actual, const fs::path& expected);
// An md5sum-style manifest line for a file.
std::string ManifestLine(const fs::path& file);

// The local services on the end-to-end build's endpoints, files served from root. URLs
// rewritten to the address HTTP DNS answers carry no port, so the file server also listens on
// 127.0.0.1:80 when it can (root).
std::unique_ptr<services::LocalServices> StartServices(const fs::path& root,
                                                       services::ServicesConfig* adjust = nullptr);

// Skips the scenario, loudly, when the file server could not take port 80.
#define LUMO_E2E_NEED_PORT_80(services)                                                         \
  do {                                                                                          \
    if (!(services).resolvedPortListening()) {                                                  \
      std::cout << "\n*** SCENARIO NOT RUN: port 80 is taken or needs root ***\n" << std::endl; \
      GTEST_SKIP() << "needs 127.0.0.1:80 for the addresses HTTP DNS answers";                  \
    }                                                                                           \
  } while (0)

// A scenario's folders (files served from files/, downloads into downloads/) and services.
struct Scene {
  explicit Scene(services::ServicesConfig* adjust = nullptr);
  fs::path files = ScenarioDir() / "files";
  fs::path downloads = ScenarioDir() / "downloads";
  std::unique_ptr<services::LocalServices> services;
  std::string base;  // http://127.0.0.1:<port>
};

// The end-to-end build's module, loaded and initialised; stopped and terminated at the end.
class HostedModule : public lumo::testing::LoadedModule {
 public:
  HostedModule();
  ~HostedModule() {
    if (downloader != nullptr) Terminate(true);
  }

  bool ok() const { return downloader != nullptr; }
  ILumoDownloader* operator->() const { return downloader; }
  void SetText(int32_t id, const std::string& text);
  int32_t Add(const std::vector<std::string>& urls, const fs::path& dir,
              const std::string& name = "", const std::vector<std::string>& checksumUrls = {},
              const std::string& checksumMd5 = "") {
    return lumo::testing::AddJob(downloader, urls, dir, name, checksumUrls, checksumMd5);
  }
  // The path GetProgress gives.
  std::string ProgressPath();
};

// Starts a program with standard output and error going to output; returns its process id.
int Spawn(const std::vector<std::string>& arguments, const fs::path& output);
// Waits for a process started by Spawn; its exit status, or 128 + signal.
int WaitExit(int pid);

constexpr auto kJobBound = std::chrono::seconds(60);

}  // namespace lumo::e2e
