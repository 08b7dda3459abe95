// Binding the engine library: each way it can fail, the code and text the host gets, and what
// the library saw (it must be terminated whenever its init ran).
#include "module/engine_loader.h"

#include <gtest/gtest.h>

#include <tuple>

#include "base/text_conversion.h"
#include "platform/platform.h"

namespace lumo {
namespace {

WString FakeEngine(const std::string& variant) {
  return WideOfUtf8(std::string(LUMO_FAKE_ZDL_DIR) + "/" + LUMO_SHARED_LIBRARY_PREFIX + variant +
                    LUMO_SHARED_LIBRARY_SUFFIX);
}

// What the fake library saw, read through its own export.
std::string Events(const WString& library) {
  void* handle = platform::LoadDynamicLibrary(library);
  if (handle == nullptr) return "<not loadable>";
  auto events =
      reinterpret_cast<const char* (*)()>(platform::FindSymbol(handle, "fake_zdl_events"));
  std::string result = events ? events() : "<no events>";
  platform::UnloadDynamicLibrary(handle);
  return result;
}

TEST(EngineLoader, EachBindingOutcome) {
  const int32_t fail = static_cast<int32_t>(0x80004005u);
  // The variant, Bind's code, the text before the system's wording of that code, whether the
  // library stays loaded after Bind, and what it saw.
  for (const auto& [variant, code, text, kept, events] :
       std::vector<std::tuple<const char*, int32_t, std::string, bool, std::string>>{
           {"fake_zdl_ok", 0, "", true,
            "init;get-download;get-http;release-download;release-http;term;"},
           {"no_such_engine", fail, "Load ", false, "<not loadable>"},
           {"fake_zdl_no_getobject", fail, "Load ", false, ""},
           {"fake_zdl_init_fails", fail, "Init zdlcore failed, ", true, "init;term;"},
           {"fake_zdl_download_fails", static_cast<int32_t>(0x80004002u),
            "Get IZDownloadService instance failed, ", true, "init;get-download;term;"},
           {"fake_zdl_http_fails", static_cast<int32_t>(0x8007000Eu),
            "Get IZDownloadService instance failed, ", true,
            "init;get-download;get-http;release-download;term;"}}) {
    SCOPED_TRACE(variant);
    const WString library = FakeEngine(variant);
    ZDownloadLoader loader(library);
    std::string said = "untouched";
    EXPECT_EQ(loader.Bind(&said), code);
    EXPECT_EQ(loader.IsLoaded(), kept);
    if (code == 0) {
      EXPECT_EQ(said, "untouched");
      EXPECT_TRUE(loader.DownloadService() && loader.HttpService());
      // A second binding in the same process is refused while the library is held.
      EXPECT_EQ(loader.Load(library), static_cast<int32_t>(0x80070005u));
    } else {
      EXPECT_EQ(said.rfind(text, 0), 0u) << said;
      EXPECT_NE(said.find(platform::SystemErrorText(code)), std::string::npos) << said;
    }
    loader.ReleaseAndTerminate();
    EXPECT_EQ(loader.DownloadService(), nullptr);
    EXPECT_EQ(events.empty() ? "" : Events(library), events);
  }
  // A bare name is looked for beside the module, then beside the host's program: here, where
  // the module is linked into the program, that is one folder, tried once.
  const WString bare = WideOfUtf8("engine.so");
  EXPECT_EQ(ZDownloadLoader::CandidatePaths(bare),
            std::vector<WString>{platform::ExecutableDirectory() + bare});
}

}  // namespace
}  // namespace lumo
