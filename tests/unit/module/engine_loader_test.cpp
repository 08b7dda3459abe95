#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "module/engine_loader.h"
#include "base/log.h"
#include "base/text_conversion.h"
#include "platform/platform.h"

namespace lumo {
namespace {

WString Wide(const std::string& text) { return WString(text.begin(), text.end()); }

WString FakeEngine(const std::string& variant) {
  return Wide(std::string(LUMO_FAKE_ZDL_DIR) + "/" + LUMO_SHARED_LIBRARY_PREFIX + variant +
              LUMO_SHARED_LIBRARY_SUFFIX);
}

std::string ReadLog() {
  std::ifstream in(Utf8Of(LogPath()), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// What the fake library saw, read through its own export.
std::string Events(const WString& library) {
  void* handle = platform::LoadDynamicLibrary(library);
  if (handle == nullptr) return "<not loadable>";
  auto events = reinterpret_cast<const char* (*)()>(platform::FindSymbol(handle, "fake_zdl_events"));
  std::string result = events ? events() : "<no events>";
  platform::UnloadDynamicLibrary(handle);
  return result;
}

class EngineLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { std::remove(Utf8Of(LogPath()).c_str()); }
};

TEST_F(EngineLoaderTest, BindsAWorkingEngineAndTerminatesIt) {
  const WString library = FakeEngine("fake_zdl_ok");
  ZDownloadLoader loader(library);
  std::string text = "untouched";
  EXPECT_EQ(loader.Bind(&text), 0);
  EXPECT_EQ(text, "untouched");
  EXPECT_NE(loader.DownloadService(), nullptr);
  EXPECT_NE(loader.HttpService(), nullptr);
  EXPECT_TRUE(loader.IsLoaded());
  // A second binding in the same process is refused while the library is held.
  EXPECT_EQ(loader.Load(library), static_cast<int32_t>(0x80070005u));
  loader.ReleaseAndTerminate();
  EXPECT_EQ(loader.DownloadService(), nullptr);
  EXPECT_EQ(Events(library), "init;get-download;get-http;release-download;release-http;term;");
}

TEST_F(EngineLoaderTest, MissingLibraryAndMissingExportGiveTheLoadText) {
  for (const char* variant : {"no_such_engine", "fake_zdl_no_getobject"}) {
    ZDownloadLoader loader(FakeEngine(variant));
    std::string text;
    EXPECT_EQ(loader.Bind(&text), static_cast<int32_t>(0x80004005u)) << variant;
    EXPECT_EQ(text, "Load " + Utf8Of(FakeEngine(variant)) + " failed, " +
                        platform::SystemErrorText(0x80004005u));
    EXPECT_FALSE(loader.IsLoaded()) << "a library without its exports is not kept";
    EXPECT_NE(ReadLog().find(" ERROR - " + text + "\n"), std::string::npos);
  }
}

TEST_F(EngineLoaderTest, FailingInitRequestsNoServiceButIsTerminated) {
  const WString library = FakeEngine("fake_zdl_init_fails");
  ZDownloadLoader loader(library);
  std::string text;
  EXPECT_EQ(loader.Bind(&text), static_cast<int32_t>(0x80004005u));
  EXPECT_EQ(text, "Init zdlcore failed, " + platform::SystemErrorText(0x80004005u));
  EXPECT_TRUE(loader.IsLoaded());
  loader.ReleaseAndTerminate();
  EXPECT_EQ(Events(library), "init;term;");
}

TEST_F(EngineLoaderTest, ServiceFailuresUseTheSameText) {
  struct Case {
    const char* variant;
    int32_t code;
    const char* events;
  } cases[] = {
      {"fake_zdl_download_fails", static_cast<int32_t>(0x80004002u), "init;get-download;term;"},
      {"fake_zdl_http_fails", static_cast<int32_t>(0x8007000Eu),
       "init;get-download;get-http;release-download;term;"},
  };
  for (const Case& c : cases) {
    const WString library = FakeEngine(c.variant);
    ZDownloadLoader loader(library);
    std::string text;
    EXPECT_EQ(loader.Bind(&text), c.code) << c.variant;
    EXPECT_EQ(text, "Get IZDownloadService instance failed, " + platform::SystemErrorText(c.code));
    loader.ReleaseAndTerminate();
    EXPECT_EQ(Events(library), c.events) << c.variant;
  }
}

}  // namespace
}  // namespace lumo
