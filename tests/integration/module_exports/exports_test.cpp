#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "lumo/lumo_downloader.h"
#include "base/text_conversion.h"
#include "platform/platform.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);

// A host's view of one loaded copy of the module.
struct Host {
  void* library = nullptr;
  LumoInitFn init = nullptr;
  LumoTermFn term = nullptr;
  LumoGetObjectFn getObject = nullptr;
  fs::path folder;

  // Copies the module into a fresh folder, with engineVariant (if any) beside it as the engine.
  explicit Host(const std::string& engineVariant) {
    folder = fs::temp_directory_path() / ("lumo-exports-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + engineVariant + "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path module = fs::path(LUMO_MODULE_PATH);
    fs::copy_file(module, folder / module.filename());
    if (!engineVariant.empty()) {
      fs::copy_file(fs::path(LUMO_FAKE_ZDL_DIR) /
                        (std::string(LUMO_SHARED_LIBRARY_PREFIX) + engineVariant +
                         LUMO_SHARED_LIBRARY_SUFFIX),
                    folder / LUMO_ENGINE_FILE_NAME);
    }
    library = platform::LoadDynamicLibrary(WideOfUtf8((folder / module.filename()).string()));
    if (library != nullptr) {
      init = reinterpret_cast<LumoInitFn>(platform::FindSymbol(library, "mod_lumoinit"));
      term = reinterpret_cast<LumoTermFn>(platform::FindSymbol(library, "mod_lumoterm"));
      getObject =
          reinterpret_cast<LumoGetObjectFn>(platform::FindSymbol(library, "mod_lumogetobject"));
    }
  }
  ~Host() { fs::remove_all(folder); }

  std::string EngineEvents() const {
    void* engine = platform::LoadDynamicLibrary(WideOfUtf8((folder / LUMO_ENGINE_FILE_NAME).string()));
    if (engine == nullptr) return "<no engine>";
    auto events = reinterpret_cast<const char* (*)()>(platform::FindSymbol(engine, "fake_zdl_events"));
    std::string text = events ? events() : "<no events>";
    platform::UnloadDynamicLibrary(engine);
    return text;
  }
};

std::string ReadLog() {
  WString dir = platform::ExecutableDirectory();
  std::ifstream in(Utf8Of(dir) + "../lumodownload.log", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string LoadFailureText(int32_t code) {
  return std::string("Load ") + LUMO_ENGINE_FILE_NAME + " failed, " + platform::SystemErrorText(code);
}

// Each scenario runs in a child process: a loaded module and its engine stay in a process.
void RunChild(void (*scenario)()) {
  scenario();
  // The parent shows only the child's stderr: repeat the failures there.
  const ::testing::TestResult* result =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  for (int i = 0; i < result->total_part_count(); ++i) {
    const ::testing::TestPartResult& part = result->GetTestPartResult(i);
    if (part.failed()) {
      std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?",
                   part.line_number(), part.summary());
    }
  }
  std::exit(::testing::Test::HasFailure() ? 1 : 0);
}
#define IN_CHILD(scenario) EXPECT_EXIT(RunChild(scenario), ::testing::ExitedWithCode(0), "")

TEST(ModuleExports, ExportsAreResolvable) {
  Host host("fake_zdl_ok");
  ASSERT_NE(host.library, nullptr);
  EXPECT_NE(host.init, nullptr);
  EXPECT_NE(host.term, nullptr);
  EXPECT_NE(host.getObject, nullptr);
}

void ScenarioInitialiseHandOutAndTerminate() {
  Host host("fake_zdl_ok");
  std::string error = "untouched";
  LumoString errorText = LumoStringFor(error);
  EXPECT_EQ(host.init(&errorText), 0);
  EXPECT_EQ(error, "untouched");

  void* out = reinterpret_cast<void*>(0x1);
  const LumoGuid unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(host.getObject(&unknown, &out), kNoInterface);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(host.getObject(&IID_ILumoDownloader, &out), 0);
  auto* downloader = static_cast<ILumoDownloader*>(out);
  ASSERT_NE(downloader, nullptr);
  EXPECT_EQ(downloader->AddRef(), 3u);  // the module's, ours, this one
  EXPECT_EQ(downloader->Release(), 2u);

  // The host still holds its reference: the object outlives mod_lumoterm.
  EXPECT_EQ(host.term(), 0);
  EXPECT_EQ(host.term(), 0);
  EXPECT_EQ(downloader->SetOption(8, "abc", 3), 0);
  EXPECT_EQ(host.EngineEvents(), "init;get-download;get-http;");
  EXPECT_EQ(downloader->Release(), 0u);
  EXPECT_EQ(host.EngineEvents(),
            "init;get-download;get-http;release-download;release-http;term;");

  // The engine stays loaded until the module unloads: a second initialisation is refused.
  error.clear();
  EXPECT_EQ(host.init(&errorText), kAccessDenied);
  EXPECT_EQ(error, LoadFailureText(kAccessDenied));
}

TEST(ModuleExports, InitialiseHandOutAndTerminate) { IN_CHILD(ScenarioInitialiseHandOutAndTerminate); }

void ScenarioMissingEngine() {
  Host host("");
  std::string error;
  LumoString errorText = LumoStringFor(error);
  EXPECT_EQ(host.init(&errorText), kFail);
  EXPECT_EQ(error, LoadFailureText(kFail));
  const std::string log = ReadLog();
  EXPECT_NE(log.find(" ERROR - " + error + "\n"), std::string::npos);
  EXPECT_NE(log.find(" Error - Error occurred when load ZDownloadLoader, " + error + "\n"),
            std::string::npos);
  void* out = nullptr;
  EXPECT_EQ(host.getObject(&IID_ILumoDownloader, &out), kNoInterface);
  EXPECT_EQ(host.term(), 0);
}

TEST(ModuleExports, MissingEngine) { IN_CHILD(ScenarioMissingEngine); }

void ScenarioEngineWithoutAllExports() {
  Host host("fake_zdl_no_getobject");
  std::string error;
  LumoString errorText = LumoStringFor(error);
  EXPECT_EQ(host.init(&errorText), kFail);
  EXPECT_EQ(error, LoadFailureText(kFail));
}

TEST(ModuleExports, EngineWithoutAllExports) { IN_CHILD(ScenarioEngineWithoutAllExports); }

void ScenarioFailingEngineInitIsTerminatedAndRefusesARetry() {
  Host host("fake_zdl_init_fails");
  std::string error;
  LumoString errorText = LumoStringFor(error);
  EXPECT_EQ(host.init(&errorText), kFail);
  EXPECT_EQ(error, "Init zdlcore failed, " + platform::SystemErrorText(kFail));
  EXPECT_EQ(host.EngineEvents(), "init;term;");
  EXPECT_EQ(host.init(nullptr), kAccessDenied);
}

TEST(ModuleExports, FailingEngineInitIsTerminatedAndRefusesARetry) { IN_CHILD(ScenarioFailingEngineInitIsTerminatedAndRefusesARetry); }

// The engine is looked for beside the module first, then beside the host's program, and only
// there (a full path each time, whatever the system's search order would find).
void EngineFromTheFolders(const std::string& besideModule, const std::string& besideHost,
                          int32_t expected) {
  Host host(besideModule);
  const fs::path hostEngine =
      fs::path(Utf8Of(platform::ExecutableDirectory())) / LUMO_ENGINE_FILE_NAME;
  struct Remove {
    fs::path path;
    ~Remove() { fs::remove(path); }
  } removeHostEngine{hostEngine};
  if (!besideHost.empty()) {
    fs::copy_file(fs::path(LUMO_FAKE_ZDL_DIR) / (std::string(LUMO_SHARED_LIBRARY_PREFIX) +
                                                 besideHost + LUMO_SHARED_LIBRARY_SUFFIX),
                  hostEngine, fs::copy_options::overwrite_existing);
  }
  EXPECT_EQ(host.init(nullptr), expected) << besideModule << " / " << besideHost;
}

TEST(ModuleExports, EngineBesideTheModuleComesFirst) {
  IN_CHILD([] { EngineFromTheFolders("fake_zdl_ok", "fake_zdl_init_fails", 0); });
}

TEST(ModuleExports, EngineBesideTheHostWhenTheModulesFolderHasNone) {
  IN_CHILD([] { EngineFromTheFolders("", "fake_zdl_ok", 0); });
}

}  // namespace
}  // namespace lumo
