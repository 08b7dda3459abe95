// The built module as a launcher sees it: loaded by file name, driven only through its three
// exports and ILumoDownloader.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lumo/lumo_downloader.h"

namespace lumo::testing {

// A job as a host hands it over: null for an empty name, checksum list or digest.
int32_t AddJob(ILumoDownloader* downloader, const std::vector<std::string>& urls,
               const std::filesystem::path& dir, const std::string& name = "",
               const std::vector<std::string>& checksumUrls = {}, const std::string& md5 = "");
// GetCompletedFiles, split at its semicolons.
std::vector<std::string> CompletedFiles(ILumoDownloader* downloader);

class LoadedModule {
 public:
  // Loads the library and resolves the exports (no initialisation).
  explicit LoadedModule(const std::string& path);
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  LumoInitFn init = nullptr;
  LumoTermFn term = nullptr;
  LumoGetObjectFn getObject = nullptr;
  ILumoDownloader* downloader = nullptr;  // held until Terminate

  // mod_lumoinit + mod_lumogetobject.
  ILumoDownloader* Initialise();
  // Stop (when asked), release the held object and mod_lumoterm; how long that took.
  std::chrono::milliseconds Terminate(bool stopFirst);
  // Unloads the library as a host does after mod_lumoterm (the exports are gone).
  void Unload();

  uint32_t RunState();
  std::vector<std::string> Completed();
  // Polls like a launcher until done() holds or the bound passes.
  bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);
  // Start, then poll until the queue ran dry (RunState idle).
  bool RunUntilIdle(std::chrono::milliseconds bound);

 private:
  void* library_ = nullptr;
};

}  // namespace lumo::testing
