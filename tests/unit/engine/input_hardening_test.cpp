// Inputs the fuzz targets found mishandled: each case here was once a failing input.
#include <gtest/gtest.h>

#include "checksum_manifest.h"
#include "file_name.h"

namespace zdl {
namespace {

std::string NameOf(const std::string& url) { return WideToUtf8(SafeFileNameFromUrl(url)); }

TEST(InputHardeningTest, ConsoleStreamAndZeroAndSuperscriptPortsAreDeviceNames) {
  EXPECT_EQ(NameOf("http://cdn.test/CONIN$"), "_CONIN$");
  EXPECT_EQ(NameOf("http://cdn.test/conout$.log"), "_conout$.log");
  EXPECT_EQ(NameOf("http://cdn.test/com0"), "_com0");
  EXPECT_EQ(NameOf("http://cdn.test/LPT0.txt"), "_LPT0.txt");
  EXPECT_EQ(NameOf("http://cdn.test/COM\xC2\xB9.bin"), "_COM\xC2\xB9.bin");
  EXPECT_EQ(NameOf("http://cdn.test/lpt\xC2\xB3"), "_lpt\xC2\xB3");
  // Near misses stay as they are.
  EXPECT_EQ(NameOf("http://cdn.test/CONIN"), "CONIN");
  EXPECT_EQ(NameOf("http://cdn.test/COM10"), "COM10");
  EXPECT_EQ(NameOf("http://cdn.test/COM\xC2\xB4"), "COM\xC2\xB4");
}

TEST(InputHardeningTest, ALongDeviceNameStaysWithinTheLengthBound) {
  // "con." followed by a long extension: the device prefix must not push it past 200.
  const std::string name = NameOf("http://cdn.test/con." + std::string(250, 'x'));
  EXPECT_EQ(name.size(), 200u);
  EXPECT_EQ(name.substr(0, 5), "_con.");
  // Cut back to the bound, a name must not end in a dot or space either.
  const std::string dots = NameOf("http://cdn.test/con." + std::string(194, 'x') + " . y");
  EXPECT_EQ(dots, "_con." + std::string(194, 'x'));
  // A cut never leaves half a surrogate pair.
  std::string pairs;
  for (int i = 0; i < 120; ++i) pairs += "\xF0\x9F\x98\x80";
  const WString wide = SafeFileNameFromUrl("http://cdn.test/nul." + pairs);
  ASSERT_LE(wide.size(), 200u);
  EXPECT_FALSE(wide.back() >= 0xD800 && wide.back() <= 0xDBFF);
}

TEST(InputHardeningTest, AnEmptyFileNameMatchesNoManifestLine) {
  std::string digest = "kept";
  // The last element of "a\0d6967\\\" is empty: it must not pass for a file without a name.
  EXPECT_FALSE(FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  a\\0d6967\\\\\\\n", "",
                                  &digest));
  EXPECT_FALSE(FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  dir/\n", "", &digest));
  EXPECT_EQ(digest, "kept");
  EXPECT_TRUE(FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  dir/a\n", "a", &digest));
  EXPECT_EQ(digest, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace zdl
