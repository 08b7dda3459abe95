// The built module as a launcher sees it: loaded by file name (the real engine sits beside it),
// driven only through its three exports and ILumoDownloader.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "lumo/lumo_downloader.h"
#include "support/scratch.h"

namespace lumo::host {

namespace fs = std::filesystem;

using lumo::testing::RandomBytes;
using lumo::testing::ReadFile;
using lumo::testing::RunInChild;

// Every interval of the module under test, divided as its build divides them.
std::chrono::milliseconds Scaled(std::chrono::milliseconds production);

// A fresh folder for a scenario, inside the test's own.
fs::path ScenarioDir(const std::string& name);

std::u16string U16(const std::string& ascii);
const LumoWChar* W(const std::u16string& text);

// Ids of the process's threads (/proc/self/task).
std::set<int> ThreadIds();

class HostedModule {
 public:
  // Loads the library and resolves the exports (no initialisation).
  explicit HostedModule(const std::string& path = LUMO_MODULE_PATH);
  HostedModule(const HostedModule&) = delete;
  HostedModule& operator=(const HostedModule&) = delete;

  LumoInitFn init = nullptr;
  LumoTermFn term = nullptr;
  LumoGetObjectFn getObject = nullptr;

  // mod_lumoinit + mod_lumogetobject; the object is held until Release or Terminate.
  ILumoDownloader* Initialise();
  // Stop (when asked), releases the held object and calls mod_lumoterm; returns how long the
  // calls took together.
  std::chrono::milliseconds Terminate(bool stopFirst);
  // Unloads the library as a host does after mod_lumoterm (the exports are gone).
  void Unload();

  ILumoDownloader* downloader = nullptr;

  uint32_t RunState();
  DownloadStatus Status();
  std::vector<std::string> Completed();
  // Polls like a launcher until done() holds or the bound passes.
  bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);
  // Start, then poll until the queue ran dry (RunState idle).
  bool RunUntilIdle(std::chrono::milliseconds bound);

 private:
  void* library_ = nullptr;
};

}  // namespace lumo::host
