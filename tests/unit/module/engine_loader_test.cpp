// Binding the engine library: each way it can fail, the code and text the host gets, and what
// the library saw (it must be terminated whenever its init ran).
#include "module/engine_loader.h"

#include <gtest/gtest.h>

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
  struct Case {
    const char* variant;
    int32_t code;
    std::string text;  // before the system's wording of code
    bool kept;         // the library stays loaded after Bind
    const char* events;
  } cases[] = {
      {"fake_zdl_ok", 0, "", true,
       "init;get-download;get-http;release-download;release-http;term;"},
      {"no_such_engine", fail, "Load ", false, "<not loadable>"},
      {"fake_zdl_no_getobject", fail, "Load ", false, ""},
      {"fake_zdl_init_fails", fail, "Init zdlcore failed, ", true, "init;term;"},
      {"fake_zdl_download_fails", static_cast<int32_t>(0x80004002u),
       "Get IZDownloadService instance failed, ", true, "init;get-download;term;"},
      {"fake_zdl_http_fails", static_cast<int32_t>(0x8007000Eu),
       "Get IZDownloadService instance failed, ", true,
       "init;get-download;get-http;release-download;term;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    const WString library = FakeEngine(c.variant);
    ZDownloadLoader loader(library);
    std::string text = "untouched";
    EXPECT_EQ(loader.Bind(&text), c.code);
    EXPECT_EQ(loader.IsLoaded(), c.kept);
    if (c.code == 0) {
      EXPECT_EQ(text, "untouched");
      EXPECT_NE(loader.DownloadService(), nullptr);
      EXPECT_NE(loader.HttpService(), nullptr);
      // A second binding in the same process is refused while the library is held.
      EXPECT_EQ(loader.Load(library), static_cast<int32_t>(0x80070005u));
    } else {
      EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
      EXPECT_NE(text.find(platform::SystemErrorText(c.code)), std::string::npos) << text;
    }
    loader.ReleaseAndTerminate();
    EXPECT_EQ(loader.DownloadService(), nullptr);
    if (std::string(c.events) != "") {
      EXPECT_EQ(Events(library), c.events);
    }
  }
}

}  // namespace
}  // namespace lumo
