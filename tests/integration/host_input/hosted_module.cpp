#include "hosted_module.h"

#include <cstdlib>

namespace lumo::host {

std::chrono::milliseconds Scaled(std::chrono::milliseconds production) {
  const auto scaled = production / LUMO_HOST_TIME_DIVISOR;
  return scaled.count() < 1 ? std::chrono::milliseconds(1) : scaled;
}

fs::path ScenarioDir(const std::string& name) {
  const fs::path dir = lumo::testing::TestDir() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const LumoWChar* W(const std::u16string& text) {
  return reinterpret_cast<const LumoWChar*>(text.c_str());
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    ids.insert(std::atoi(entry.path().filename().c_str()));
  }
  return ids;
}

}  // namespace lumo::host
