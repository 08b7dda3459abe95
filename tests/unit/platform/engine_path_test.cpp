// Engine file paths that name no file on this system are refused, never rewritten.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/engine_file.h"
#include "platform/platform.h"
#include "support/scratch.h"

namespace lumo {
namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kInvalidName = static_cast<int32_t>(0x8007007Bu);

class EnginePathTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = lumo::testing::TestDir(); }
  WString At(const std::string& relative) const {
    const std::string text = (root_ / relative).string();
    return WString(text.begin(), text.end());
  }
  size_t Entries() const {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(root_);
         it != fs::recursive_directory_iterator(); ++it) {
      ++n;
    }
    return n;
  }

  fs::path root_;
};

TEST_F(EnginePathTest, AnUnpairedSurrogateNamesNoFile) {
  WString dir = At("bad");
  dir.push_back(static_cast<WChar>(0xD800));
  WString file = At("name");
  file.push_back(static_cast<WChar>(0xDC00));
  file += WString(u".bin");

  EXPECT_EQ(MakeDirectories(dir), kInvalidName);
  EngineFile out;
  EXPECT_EQ(EngineFile::OpenForAppend(file, false, &out), kInvalidName);
  EXPECT_FALSE(out.IsOpen());
  EXPECT_EQ(EngineFile::OpenForRead(file, &out), kInvalidName);
  uint64_t size = 0;
  EXPECT_FALSE(FileSize(file, &size));
  EXPECT_EQ(RemoveFile(file), kInvalidName);
  // Nothing was written under a replacement name such as U+FFFD.
  EXPECT_EQ(Entries(), 0u);

  // The same operations on a well-formed name work.
  const WString good = At("good.bin");
  ASSERT_EQ(EngineFile::OpenForAppend(good, false, &out), 0);
  EXPECT_EQ(out.Write("abc", 3), 0);
  EXPECT_EQ(out.Close(), 0);
  EXPECT_EQ(ReplaceFileWith(good, file), kInvalidName);
  ASSERT_TRUE(FileSize(good, &size));
  EXPECT_EQ(size, 3u);
}

TEST_F(EnginePathTest, AnEmbeddedNulNamesNoFile) {
  WString path = At("a");
  path.push_back(0);
  path += WString(u"b.bin");
  EngineFile out;
  EXPECT_EQ(EngineFile::OpenForAppend(path, false, &out), kInvalidName);
  EXPECT_EQ(Entries(), 0u);
}

}  // namespace
}  // namespace platform
}  // namespace lumo
