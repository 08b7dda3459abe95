// URL helpers and the result-code table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "base/download_result.h"
#include "base/result_codes.h"
#include "base/url_helpers.h"

namespace lumo {
namespace {

// text is prefix followed by exactly 17 decimal digits.
bool HasStampAfter(const std::string& text, const std::string& prefix) {
  if (text.size() != prefix.size() + 17 || text.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  return std::all_of(text.begin() + prefix.size(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

TEST(CacheBuster, AppendsSeventeenDigitsWithTheRightJoint) {
  EXPECT_TRUE(HasStampAfter(AddCacheBuster("http://h/pkg/data.bin"), "http://h/pkg/data.bin?t="));
  EXPECT_TRUE(
      HasStampAfter(AddCacheBuster("http://h/pkg/data.bin?v=2"), "http://h/pkg/data.bin?v=2&t="));
  // A "?" anywhere counts, also inside a fragment.
  EXPECT_TRUE(HasStampAfter(AddCacheBuster("http://h/a#x?y"), "http://h/a#x?y&t="));
  EXPECT_FALSE(HasStampAfter("http://h/a?t=2024", "http://h/a?t="));
}

TEST(CacheBuster, CompactTimestampPadsEveryField) {
  platform::CalendarTime t;
  t.year = 2024;
  t.month = 5;
  t.day = 1;
  t.hour = 2;
  t.minute = 3;
  t.second = 4;
  t.milliseconds = 7;
  EXPECT_EQ(CompactTimestampOf(t), "20240501020304007");
  EXPECT_EQ(CompactTimestamp().size(), 17u);
}

TEST(ResultCodes, StoredCodes) {
  EXPECT_EQ(StoredResultCode(0), 0);
  EXPECT_EQ(StoredResultCode(8), 8);
  EXPECT_EQ(StoredResultCode(12), 1);
  EXPECT_EQ(StoredResultCode(-3), 1);
  EXPECT_EQ(ResultMessage(9), "9");  // no message: the number
}

TEST(ResultCodes, OnlyThreeFileSystemCodesAreDiskFailures) {
  EXPECT_TRUE(IsDiskFailure({4, static_cast<int32_t>(0x80070070u)}));
  EXPECT_TRUE(IsDiskFailure({4, static_cast<int32_t>(0x80071AC3u)}));
  EXPECT_TRUE(IsDiskFailure({4, static_cast<int32_t>(0x800701E3u)}));
  EXPECT_FALSE(IsDiskFailure({4, static_cast<int32_t>(0x80070005u)}));
  EXPECT_FALSE(IsDiskFailure({3, static_cast<int32_t>(0x80070070u)}));
  EXPECT_EQ(RunStateForDiskFailure(static_cast<int32_t>(0x80070070u)), 5u);
  EXPECT_EQ(RunStateForDiskFailure(static_cast<int32_t>(0x80071AC3u)), 6u);
  EXPECT_EQ(RunStateForDiskFailure(static_cast<int32_t>(0x800701E3u)), 7u);
  EXPECT_EQ(RunStateForDiskFailure(0), 0u);
}

}  // namespace
}  // namespace lumo
