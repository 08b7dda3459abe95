#include "support/loaded_module.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/platform.h"

namespace lumo::testing {

LoadedModule::LoadedModule(const std::string& path) {
  WString wide;
  platform::MultiByteToWide(platform::CodePage::kUtf8, path.data(), path.size(), &wide);
  library_ = platform::LoadDynamicLibrary(wide);
  if (library_ == nullptr) return;
  init = reinterpret_cast<LumoInitFn>(platform::FindSymbol(library_, "mod_lumoinit"));
  term = reinterpret_cast<LumoTermFn>(platform::FindSymbol(library_, "mod_lumoterm"));
  getObject =
      reinterpret_cast<LumoGetObjectFn>(platform::FindSymbol(library_, "mod_lumogetobject"));
}

ILumoDownloader* LoadedModule::Initialise() {
  if (init == nullptr || getObject == nullptr) return nullptr;
  std::string error;
  LumoString errorText = LumoStringFor(error);
  const int32_t code = init(&errorText);
  EXPECT_EQ(code, 0) << error;
  if (code != 0) return nullptr;
  void* out = nullptr;
  EXPECT_EQ(getObject(&IID_ILumoDownloader, &out), 0);
  downloader = static_cast<ILumoDownloader*>(out);
  return downloader;
}

std::chrono::milliseconds LoadedModule::Terminate(bool stopFirst) {
  const auto start = std::chrono::steady_clock::now();
  if (downloader != nullptr && stopFirst) downloader->Stop(0);
  if (downloader != nullptr) downloader->Release();
  downloader = nullptr;
  EXPECT_EQ(term != nullptr ? term() : 0, 0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

void LoadedModule::Unload() {
  init = nullptr, term = nullptr, getObject = nullptr;
  platform::UnloadDynamicLibrary(library_);
  library_ = nullptr;
}

uint32_t LoadedModule::RunState() {
  uint32_t state = 0xFFFFFFFFu, average = 0, current = 0;
  uint64_t bytes = 0;
  EXPECT_EQ(downloader->GetProgress(&state, &bytes, &average, &current, nullptr), 0);
  return state;
}

std::vector<std::string> LoadedModule::Completed() { return CompletedFiles(downloader); }

int32_t AddJob(ILumoDownloader* downloader, const std::vector<std::string>& urls,
               const std::filesystem::path& dir, const std::string& name,
               const std::vector<std::string>& checksumUrls, const std::string& md5) {
  std::vector<const char*> u, c;
  for (const auto& url : urls) u.push_back(url.c_str());
  for (const auto& url : checksumUrls) c.push_back(url.c_str());
  const std::u16string wideDir = dir.u16string();
  const std::u16string wideName = std::filesystem::u8path(name).u16string();
  return downloader->AddDownload(
      u.data(), static_cast<uint32_t>(u.size()),
      reinterpret_cast<const LumoWChar*>(wideDir.c_str()),
      name.empty() ? nullptr : reinterpret_cast<const LumoWChar*>(wideName.c_str()),
      c.empty() ? nullptr : c.data(), static_cast<uint32_t>(c.size()),
      md5.empty() ? nullptr : md5.c_str());
}

std::vector<std::string> CompletedFiles(ILumoDownloader* downloader) {
  std::string joined;
  LumoString list = LumoStringFor(joined);
  EXPECT_EQ(downloader->GetCompletedFiles(&list), 0);
  std::vector<std::string> paths;
  std::istringstream in(joined);
  for (std::string path; std::getline(in, path, ';');) paths.push_back(path);
  return paths;
}

bool LoadedModule::PollUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool LoadedModule::RunUntilIdle(std::chrono::milliseconds bound) {
  // The worker may already have taken a job queued since the last run (RunState 1).
  const int32_t started = downloader->Start();
  if (started != 0 && started != static_cast<int32_t>(0x80070005u)) return false;
  return PollUntil([this] { return RunState() == kLumoRunStateIdle; }, bound);
}

}  // namespace lumo::testing
