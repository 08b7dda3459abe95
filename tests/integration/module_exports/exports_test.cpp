#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "base/text_conversion.h"
#include "platform/platform.h"
#include "support/loaded_module.h"
#include "support/scratch.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using lumo::testing::LoadedModule;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);

// Copies the fake engine variant (none when empty) to path.
void CopyVariant(const std::string& variant, const fs::path& path) {
  const std::string file = LUMO_SHARED_LIBRARY_PREFIX + variant + LUMO_SHARED_LIBRARY_SUFFIX;
  if (!variant.empty()) fs::copy_file(fs::path(LUMO_FAKE_ZDL_DIR) / file, path);
}

// A copy of the module in the test's folder, with engineVariant (if any) beside it as the engine.
std::string Install(const std::string& engineVariant) {
  const fs::path folder = lumo::testing::TestDir(), module = fs::path(LUMO_MODULE_PATH);
  fs::copy_file(module, folder / module.filename());
  CopyVariant(engineVariant, folder / LUMO_ENGINE_FILE_NAME);
  return (folder / module.filename()).string();
}

// What the fake engine beside the module was called with (the module holds it loaded).
std::string EngineEvents() {
  const fs::path path = lumo::testing::TestDir() / LUMO_ENGINE_FILE_NAME;
  void* engine = platform::LoadDynamicLibrary(WideOfUtf8(path.string()));
  auto events =
      reinterpret_cast<const char* (*)()>(platform::FindSymbol(engine, "fake_zdl_events"));
  std::string text = events ? events() : "<no events>";
  platform::UnloadDynamicLibrary(engine);
  return text;
}

TEST(ModuleExports, InitialiseHandOutAndTerminate) {
  lumo::testing::RunInChild([] {
    LoadedModule host(Install("fake_zdl_ok"));
    ASSERT_TRUE(host.init && host.term && host.getObject);
    std::string error = "untouched";
    LumoString errorText = LumoStringFor(error);
    EXPECT_TRUE(host.init(&errorText) == 0 && error == "untouched") << error;
    void* out = reinterpret_cast<void*>(0x1);
    const LumoGuid unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_TRUE(host.getObject(&unknown, &out) == kNoInterface && out == nullptr);
    ASSERT_TRUE(host.getObject(&IID_ILumoDownloader, &out) == 0 && out != nullptr);
    auto* downloader = static_cast<ILumoDownloader*>(out);
    EXPECT_EQ(downloader->AddRef(), 3u);  // the module's, ours, this one
    EXPECT_EQ(downloader->Release(), 2u);
    // The host still holds its reference: the object outlives mod_lumoterm.
    EXPECT_TRUE(host.term() == 0 && host.term() == 0 && downloader->SetOption(8, "abc", 3) == 0);
    EXPECT_EQ(EngineEvents(), "init;get-download;get-http;");
    EXPECT_EQ(downloader->Release(), 0u);
    EXPECT_EQ(EngineEvents(), "init;get-download;get-http;release-download;release-http;term;");
    // The engine stays loaded until the module unloads: a second initialisation is refused.
    error.clear();
    EXPECT_EQ(host.init(&errorText), kAccessDenied);
    EXPECT_EQ(error.rfind("Load ", 0), 0u) << error;
  });
}

// The engine is looked for beside the module first, then beside the host's program, and only
// there (a full path each time, whatever the system's search order would find); without one,
// initialisation fails with the load's reason and nothing is handed out. Binding failures
// themselves are the loader's (unit_module).
TEST(ModuleExports, EngineFromTheModulesFolderThenTheHosts) {
  const std::tuple<const char*, const char*, int32_t> rows[] = {
      {"fake_zdl_ok", "fake_zdl_init_fails", 0}, {"", "fake_zdl_ok", 0}, {"", "", kFail}};
  const fs::path hostEngine =
      fs::path(Utf8Of(platform::ExecutableDirectory())) / LUMO_ENGINE_FILE_NAME;
  for (const auto& row : rows) {
    lumo::testing::RunInChild(
        [&] {
          const auto& [besideModule, besideHost, code] = row;
          LoadedModule host(Install(besideModule));
          CopyVariant(besideHost, hostEngine);
          std::string error;
          LumoString errorText = LumoStringFor(error);
          EXPECT_EQ(host.init(&errorText), code) << besideModule << " / " << besideHost;
          EXPECT_EQ(error.rfind("Load ", 0), code == 0 ? std::string::npos : 0u) << error;
          void* out = nullptr;
          EXPECT_EQ(host.getObject(&IID_ILumoDownloader, &out), code == 0 ? 0 : kNoInterface);
          if (out != nullptr) static_cast<ILumoDownloader*>(out)->Release();
          EXPECT_EQ(host.term(), 0);
        },
        [&] { fs::remove(hostEngine); });
  }
}

}  // namespace
}  // namespace lumo
