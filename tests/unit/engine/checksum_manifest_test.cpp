// The checksum manifest's lines.
#include "checksum_manifest.h"

#include <gtest/gtest.h>

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
  auto find = [](const std::string& text, const std::string& name, std::string* digest) {
    return FindManifestDigest(text, name, "", digest);
  };
  std::string digest;
  ASSERT_EQ(find(manifest, "first.bin", &digest), ManifestMatch::kFound);
  EXPECT_EQ(digest, "0123456789abcdef0123456789abcdef");
  ASSERT_EQ(find(manifest, "second file.bin", &digest), ManifestMatch::kFound);
  EXPECT_EQ(digest, "ffffffffffffffffffffffffffffffff");
  ASSERT_EQ(find(manifest, "third.bin", &digest), ManifestMatch::kFound);
  EXPECT_EQ(digest, "dddddddddddddddddddddddddddddddd");  // the exact name wins
  ASSERT_EQ(find(manifest, "fourth.bin", &digest), ManifestMatch::kFound);
  EXPECT_EQ(digest, "cccccccccccccccccccccccccccccccc");
  EXPECT_EQ(find(manifest, "fifth.bin", &digest), ManifestMatch::kMissing);
  EXPECT_EQ(find(manifest, "first", &digest), ManifestMatch::kMissing);
  EXPECT_EQ(find("0123  first.bin\n", "first.bin", &digest), ManifestMatch::kMissing);
  EXPECT_EQ(find("0123456789abcdef0123456789abcdef first.bin\n", "first.bin", &digest),
            ManifestMatch::kMissing);
}

// Several lines for one last element: the host's relative name, then the URL's folders, and a
// clear refusal when neither decides.
TEST(ManifestTest, LinesSharingTheFileNameAreToldApart) {
  const std::string x86 = "86868686868686868686868686868686";
  const std::string x64 = "64646464646464646464646464646464";
  const std::string bare = "b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0";
  const std::string both = x86 + "  bin/x86/game.dll\n" + x64 + "  bin/x64/game.dll\n";
  struct Case {
    std::string manifest;
    std::string fileName;
    std::string url;
    ManifestMatch match;
    std::string digest;
  };
  const Case cases[] = {
      // x86 first in the file: it no longer passes for the x64 file.
      {both, "game.dll", "http://h/cdn/bin/x64/game.dll?v=1", ManifestMatch::kFound, x64},
      {both, "game.dll", "http://h/x86/game.dll", ManifestMatch::kFound, x86},
      {both, "bin/x64/game.dll", "http://h/other/game.dll", ManifestMatch::kFound, x64},
      {both, "bin\\x86\\game.dll", "http://h/x64/game.dll", ManifestMatch::kFound, x86},
      {both, "game.dll", "http://h/files/game.dll", ManifestMatch::kAmbiguous, ""},
      {both, "game.dll", "http://h/game.dll", ManifestMatch::kAmbiguous, ""},
      {both, "other.dll", "http://h/x64/other.dll", ManifestMatch::kMissing, ""},
      // The line for the file's own place in the save folder comes before the URL.
      {bare + "  game.dll\n" + both, "game.dll", "http://h/bin/x64/game.dll", ManifestMatch::kFound,
       bare},
      {bare + "  x64/game.dll\n" + both, "game.dll", "http://h/cdn/bin/x64/game.dll",
       ManifestMatch::kFound, x64},
      // Folders that contradict the URL are out; escapes in the URL are decoded.
      {bare + "  x64/game.dll\n" + both, "game.dll", "http://h/other/x64/game.dll",
       ManifestMatch::kFound, bare},
      {bare + "  game.dll\n" + both, "a.dll", "http://h/x32/game.dll", ManifestMatch::kMissing, ""},
      {x64 + "  my dir/game.dll\n" + x86 + "  other/game.dll\n", "game.dll",
       "http://h/my%20dir/game.dll", ManifestMatch::kFound, x64},
      // Lines that agree are no choice; one line for the name still passes whatever the URL.
      {x64 + "  a/game.dll\n" + x64 + "  ./b/game.dll\n", "game.dll", "http://h/game.dll",
       ManifestMatch::kFound, x64},
      {x86 + "  bin/x86/game.dll\n", "game.dll", "http://h/x64/game.dll", ManifestMatch::kFound,
       x86},
      // The exact name disagreeing with itself is not resolved by the URL.
      {x86 + "  game.dll\n" + x64 + "  game.dll\n", "game.dll", "http://h/game.dll",
       ManifestMatch::kAmbiguous, ""},
      // A line naming a folder is no file.
      {x64 + "  game.dll/\n", "game.dll", "http://h/game.dll", ManifestMatch::kMissing, ""},
      // An empty file name (or a line whose last element is empty) matches nothing.
      {x64 + "  a\\0d6967\\\\\\\n", "", "", ManifestMatch::kMissing, ""},
      {x64 + "  dir/\n", "", "", ManifestMatch::kMissing, ""},
      {x64 + "  dir/a\n", "a", "", ManifestMatch::kFound, x64},
  };
  for (const Case& c : cases) {
    std::string digest;
    EXPECT_EQ(FindManifestDigest(c.manifest, c.fileName, c.url, &digest), c.match)
        << c.fileName << " " << c.url;
    EXPECT_EQ(digest, c.digest) << c.fileName << " " << c.url;
  }
}

}  // namespace
}  // namespace zdl
