// Inputs the fuzz targets found mishandled: each case here was once a failing input.
#include <gtest/gtest.h>

#include "checksum_manifest.h"

namespace zdl {
namespace {

TEST(InputHardeningTest, AnEmptyFileNameMatchesNoManifestLine) {
  std::string digest = "kept";
  // The last element of "a\0d6967\\\" is empty: it must not pass for a file without a name.
  EXPECT_EQ(
      FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  a\\0d6967\\\\\\\n", "", "", &digest),
      ManifestMatch::kMissing);
  EXPECT_EQ(FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  dir/\n", "", "", &digest),
            ManifestMatch::kMissing);
  EXPECT_EQ(digest, "kept");
  EXPECT_EQ(FindManifestDigest("900150983cd24fb0d6963f7d28e17f72  dir/a\n", "a", "", &digest),
            ManifestMatch::kFound);
  EXPECT_EQ(digest, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace zdl
