#include <gtest/gtest.h>

#include <filesystem>

#include "base/text_conversion.h"
#include "machine/storage_bus.h"

namespace lumo {
namespace {

TEST(WideToUtf8, AbsentEmptyNonAsciiAndStopsAtNul) {
  std::string out = "old";
  WideToUtf8(static_cast<const WChar*>(nullptr), &out);
  EXPECT_EQ(out, "");
  WideToUtf8(u"caf\u00e9 \U0001F600", &out);
  EXPECT_EQ(out, "caf\xc3\xa9 \xf0\x9f\x98\x80");
  WideToUtf8(WString(u"ab\0cd", 5), &out);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(Utf8Of(u"\u4e2d"), "\xe4\xb8\xad");
  EXPECT_EQ(WideOfUtf8("\xe4\xb8\xad"), u"\u4e2d");
}

TEST(BusTypeName, EdgesOfTheWindowsTable) {
  EXPECT_STREQ(BusTypeName(0), "BusTypeUnknown");
  EXPECT_STREQ(BusTypeName(11), "BusTypeSata");
  EXPECT_STREQ(BusTypeName(17), "BusTypeMax");
  EXPECT_STREQ(BusTypeName(127), "BusTypeMaxReserved");
  for (uint32_t value : {18u, 19u, 126u, 128u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(BusTypeName(value), "BusTypeUnknown") << value;
  }
}

TEST(GetStorageBusType, AbsentEmptyAndRealPaths) {
  EXPECT_EQ(GetStorageBusType(nullptr), "NULL");
  EXPECT_EQ(GetStorageBusType(u""), "Invalid handle");
  const WString here = WideOfUtf8(std::filesystem::current_path().string());
  const std::string name = GetStorageBusType(here.c_str());
  EXPECT_EQ(name.rfind("BusType", 0), 0u) << name;
}

}  // namespace
}  // namespace lumo
