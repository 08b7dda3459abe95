#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

std::string Narrow(const WString& text) {
  std::string out;
  WideToMultiByte(CodePage::kUtf8, text.data(), text.size(), &out);
  return out;
}

TEST(ExecutableDirectory, NamesTheFolderOfThisTestProgramWithTrailingSeparator) {
  const std::string directory = Narrow(ExecutableDirectory());
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), kPathSeparator);
  EXPECT_TRUE(std::filesystem::is_regular_file(directory + "unit_platform"));
}

// Minutes since the epoch of a calendar time read as UTC.
long long EpochMinutes(const CalendarTime& t) {
  std::tm fields{};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  fields.tm_hour = t.hour;
  fields.tm_min = t.minute;
  return static_cast<long long>(timegm(&fields)) / 60;
}

void ExpectSane(const CalendarTime& t) {
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_LE(t.dayOfWeek, 6);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 59);
  EXPECT_LE(t.milliseconds, 999);
}

// Runs a check under another time zone and restores the previous one.
class TimeZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    hadZone_ = old != nullptr;
    if (hadZone_) oldZone_ = old;
  }
  void TearDown() override {
    if (hadZone_) {
      setenv("TZ", oldZone_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void Use(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool hadZone_ = false;
  std::string oldZone_;
};

TEST_F(TimeZoneTest, BiasIsTheOffsetInForceAndMatchesTheLocalTime) {
  // The bias of the moment, daylight saving and half hours included: it must turn the local
  // time it came with into UTC exactly, in every zone and season.
  for (const char* zone : {"UTC", "Asia/Kolkata", "Asia/Kathmandu", "America/New_York",
                           "Australia/Sydney", "Australia/Adelaide", "America/St_Johns"}) {
    Use(zone);
    const long long before = static_cast<long long>(std::time(nullptr)) / 60;
    int32_t bias = 12345;
    const CalendarTime local = LocalTimeNow(&bias);
    const long long after = static_cast<long long>(std::time(nullptr)) / 60;
    ExpectSane(local);
    const long long utcMinutes = EpochMinutes(local) + bias;
    EXPECT_TRUE(utcMinutes == before || utcMinutes == after) << zone << " bias " << bias;
  }
  // A zone without daylight saving has its standard bias whatever the date.
  Use("Asia/Kolkata");
  int32_t bias = 0;
  LocalTimeNow(&bias);
  EXPECT_EQ(bias, -330);
  // A fixed rule: 10 hours east as standard time, 11 as daylight time all year long.
  Use("AEST-10AEDT-11,J1/0,J365/25");
  LocalTimeNow(&bias);
  EXPECT_EQ(bias, -660);
}

TEST(MachineFacts, HostNameAndResolution) {
  EXPECT_FALSE(QueryHostName().empty());
  const std::vector<std::string> local = ResolveIPv4("localhost");
  ASSERT_FALSE(local.empty());
  for (const std::string& address : local) EXPECT_EQ(address.rfind("127.", 0), 0u) << address;
  EXPECT_EQ(ResolveIPv4("10.1.2.3"), std::vector<std::string>{"10.1.2.3"});
  EXPECT_TRUE(ResolveIPv4("").empty());
  EXPECT_TRUE(ResolveIPv4("no-such-host.invalid").empty());
}

}  // namespace
}  // namespace platform
}  // namespace lumo
