// Safe file names from URLs and the checksum manifest's lines.
#include <gtest/gtest.h>

#include "checksum_manifest.h"
#include "file_name.h"

namespace zdl {
namespace {

std::string NameOf(const std::string& url) { return WideToUtf8(SafeFileNameFromUrl(url)); }

TEST(SafeFileNameTest, TakesTheLastPathElementWithoutQueryOrFragment) {
  EXPECT_EQ(NameOf("http://cdn.test/pkg/data.bin?v=2"), "data.bin");
  EXPECT_EQ(NameOf("http://cdn.test/pkg/data.bin#part"), "data.bin");
  EXPECT_EQ(NameOf("http://cdn.test/pkg/data.bin?next=/a/b"), "data.bin");
  EXPECT_EQ(NameOf("http://cdn.test/a%20b.zip"), "a%20b.zip");
  EXPECT_EQ(NameOf("http://cdn.test/d/\xE6\x96\x87.bin"), "\xE6\x96\x87.bin");
}

TEST(SafeFileNameTest, NeverEscapesTheSaveDirectory) {
  EXPECT_EQ(NameOf("http://cdn.test/"), "unnamed");
  EXPECT_EQ(NameOf("http://cdn.test"), "unnamed");
  EXPECT_EQ(NameOf("http://cdn.test/dir/.."), "unnamed");
  EXPECT_EQ(NameOf("http://cdn.test/dir/."), "unnamed");
  EXPECT_EQ(NameOf("http://cdn.test/dir/..\\..\\evil.exe"), "evil.exe");
  EXPECT_EQ(NameOf("http://cdn.test/a:b*c\"d<e>f|g"), "a_b_c_d_e_f_g");
  EXPECT_EQ(NameOf(std::string("http://cdn.test/a\x01") + "b"), "a_b");
  EXPECT_EQ(NameOf("http://cdn.test/name. . "), "name");
  EXPECT_EQ(NameOf("http://cdn.test/CON.txt"), "_CON.txt");
  EXPECT_EQ(NameOf("http://cdn.test/com1"), "_com1");
  EXPECT_EQ(NameOf("http://cdn.test/console.txt"), "console.txt");
  EXPECT_EQ(NameOf("http://cdn.test/bad\xFF.bin"), "bad\xEF\xBF\xBD.bin");
  EXPECT_EQ(NameOf("http://cdn.test/" + std::string(300, 'a')).size(), 200u);
}

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
