// What the engine reads from others: the lines of a checksum manifest and a server's
// Content-Range.
#include <gtest/gtest.h>

#include "checksum_manifest.h"
#include "response_rules.h"

namespace zdl {
namespace {

const std::string x86 = "86868686868686868686868686868686";
const std::string x64 = "64646464646464646464646464646464";
const std::string bare = "b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0";
const std::string both = x86 + "  bin/x86/game.dll\n" + x64 + "  bin/x64/game.dll\n";
const std::string mixed = "\xEF\xBB\xBF" + bare + "  first.bin\r\n# comment\n" + x64 +
                          " *second file.bin\n" + x86 + "  sub/third.bin\n" + x64 +
                          "  third.bin\n0123456789ABCDEF0123456789ABCDEF  other/fourth.bin";

TEST(ManifestTest, PicksTheLineOfTheFile) {
  const struct {
    std::string manifest, fileName, url;
    ManifestMatch match;
    std::string digest;
  } cases[] = {
      {mixed, "first.bin", "", ManifestMatch::kFound, bare},
      {mixed, "second file.bin", "", ManifestMatch::kFound, x64},
      {mixed, "third.bin", "", ManifestMatch::kFound, x64},  // the exact name wins
      {mixed, "fourth.bin", "", ManifestMatch::kFound, "0123456789abcdef0123456789abcdef"},
      {mixed, "fifth.bin", "", ManifestMatch::kMissing, ""},
      {mixed, "first", "", ManifestMatch::kMissing, ""},
      {"0123  first.bin\n", "first.bin", "", ManifestMatch::kMissing, ""},
      {bare + " first.bin\n", "first.bin", "", ManifestMatch::kMissing, ""},
      // Lines sharing the last element: the URL's folders pick one, x86 coming first.
      {both, "game.dll", "http://h/cdn/bin/x64/game.dll?v=1", ManifestMatch::kFound, x64},
      {both, "game.dll", "http://h/x86/game.dll", ManifestMatch::kFound, x86},
      {both, "bin/x64/game.dll", "http://h/other/game.dll", ManifestMatch::kFound, x64},
      {both, "bin\\x86\\game.dll", "http://h/x64/game.dll", ManifestMatch::kFound, x86},
      {both, "game.dll", "http://h/files/game.dll", ManifestMatch::kAmbiguous, ""},
      {both, "game.dll", "http://h/game.dll", ManifestMatch::kAmbiguous, ""},
      {both, "other.dll", "http://h/x64/other.dll", ManifestMatch::kMissing, ""},
      // The file's own place in the save folder comes before the URL.
      {bare + "  game.dll\n" + both, "game.dll", "http://h/bin/x64/game.dll", ManifestMatch::kFound,
       bare},
      // The line that agrees with the URL the furthest wins, a contradicting one is out.
      {bare + "  x64/game.dll\n" + both, "game.dll", "http://h/cdn/bin/x64/game.dll",
       ManifestMatch::kFound, x64},
      {bare + "  x64/game.dll\n" + both, "game.dll", "http://h/other/x64/game.dll",
       ManifestMatch::kFound, bare},
      {bare + "  game.dll\n" + both, "a.dll", "http://h/x32/game.dll", ManifestMatch::kMissing, ""},
      // Escapes in the URL are decoded; what is no escape stays as it is.
      {x64 + "  my dir/game.dll\n" + x86 + "  other/game.dll\n", "game.dll",
       "http://h/my%20dir/game.dll", ManifestMatch::kFound, x64},
      {x64 + "  %G0/game.dll\n" + x86 + "  other/game.dll\n", "game.dll", "http://h/%G0/game.dll",
       ManifestMatch::kFound, x64},
      // Lines that agree are no choice; one line for the name passes whatever the URL.
      {x64 + "  a/game.dll\n" + x64 + "  ./b/game.dll\n", "game.dll", "http://h/game.dll",
       ManifestMatch::kFound, x64},
      {x86 + "  bin/x86/game.dll\n", "game.dll", "http://h/x64/game.dll", ManifestMatch::kFound,
       x86},
      {x86 + "  game.dll\n" + x64 + "  game.dll\n", "game.dll", "http://h/game.dll",
       ManifestMatch::kAmbiguous, ""},
      // A folder is no file; an empty name matches nothing.
      {x64 + "  game.dll/\n", "game.dll", "http://h/game.dll", ManifestMatch::kMissing, ""},
      {x64 + "  a\\0d6967\\\\\\\n", "", "", ManifestMatch::kMissing, ""},
      {x64 + "  dir/\n", "", "", ManifestMatch::kMissing, ""},
      {x64 + "  dir/a\n", "a", "", ManifestMatch::kFound, x64},
  };
  for (const auto& c : cases) {
    std::string digest;
    EXPECT_EQ(FindManifestDigest(c.manifest, c.fileName, c.url, &digest), c.match)
        << c.fileName << " " << c.url;
    EXPECT_EQ(digest, c.digest) << c.fileName << " " << c.url;
  }
}

// What a Content-Range says: "start/total" ("*" without a start), "" when it is refused.
TEST(ContentRangeTest, OnlyAWellFormedRangeWithinItsTotal) {
  const std::pair<const char*, const char*> cases[] = {
      {"bytes 0-9/10", "0/10"}, {"bytes 5-9/*", "5/0"}, {"bytes */10", "*/10"},
      {"bytes */*", ""},        {"bytes 0-9", ""},      {"bytes 0-10/10", ""},
      {"bytes 5-4/10", ""},     {"bytes 0-9/1a", ""},   {"bytes 0-9/-10", ""},
      {"bytes -1-9/10", ""},    {"items 0-9/10", ""},   {"bytes 0-9/99999999999999999999999", ""},
  };
  for (const auto& [text, parsed] : cases) {
    bool hasStart = false;
    uint64_t start = 0, total = 0;
    std::string got;
    if (ParseContentRange(text, &hasStart, &start, &total)) {
      got = (hasStart ? std::to_string(start) : "*") + "/" + std::to_string(total);
    }
    EXPECT_EQ(got, parsed) << text;
  }
}

}  // namespace
}  // namespace zdl
