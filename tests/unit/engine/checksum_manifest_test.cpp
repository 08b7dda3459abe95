// The checksum manifest's lines.
#include <gtest/gtest.h>

#include "checksum_manifest.h"

namespace zdl {
namespace {

TEST(ManifestTest, FindsTheLineOfTheFile) {
  const std::string manifest =
      "\xEF\xBB\xBF"
      "0123456789ABCDEF0123456789ABCDEF  first.bin\r\n"
      "# comment\n"
      "ffffffffffffffffffffffffffffffff *second file.bin\n"
      "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee  sub/dir/third.bin\n"
      "dddddddddddddddddddddddddddddddd  third.bin\n"
      "cccccccccccccccccccccccccccccccc  other/fourth.bin";
  std::string digest;
  ASSERT_TRUE(FindManifestDigest(manifest, "first.bin", &digest));
  EXPECT_EQ(digest, "0123456789abcdef0123456789abcdef");
  ASSERT_TRUE(FindManifestDigest(manifest, "second file.bin", &digest));
  EXPECT_EQ(digest, "ffffffffffffffffffffffffffffffff");
  ASSERT_TRUE(FindManifestDigest(manifest, "third.bin", &digest));
  EXPECT_EQ(digest, "dddddddddddddddddddddddddddddddd");  // the exact name wins
  ASSERT_TRUE(FindManifestDigest(manifest, "fourth.bin", &digest));
  EXPECT_EQ(digest, "cccccccccccccccccccccccccccccccc");
  EXPECT_FALSE(FindManifestDigest(manifest, "fifth.bin", &digest));
  EXPECT_FALSE(FindManifestDigest(manifest, "first", &digest));
  EXPECT_FALSE(FindManifestDigest("0123  first.bin\n", "first.bin", &digest));
  EXPECT_FALSE(FindManifestDigest("0123456789abcdef0123456789abcdef first.bin\n", "first.bin",
                                  &digest));
}

}  // namespace
}  // namespace zdl
