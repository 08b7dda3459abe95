// What the host-input scenarios share: the built module with the real engine beside it, the
// module's intervals as this build divides them, folders and thread ids.
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
#include "support/loaded_module.h"
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

// The built module of this build (or the teardown copy).
class HostedModule : public lumo::testing::LoadedModule {
 public:
  explicit HostedModule(const std::string& path = LUMO_MODULE_PATH) : LoadedModule(path) {}
};

}  // namespace lumo::host
