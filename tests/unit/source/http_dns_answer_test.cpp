// The HTTP DNS answer parser and the record's calendar arithmetic: pure functions of their
// input, whatever the server sent.
#include "source/http_dns_answer.h"

#include <gtest/gtest.h>

#include <string>

#include "source/http_dns_record.h"

namespace lumo {
namespace {

using Addresses = std::set<std::string>;

TEST(HttpDnsAnswerTest, AddressesAndLifetimeOfEachForm) {
  const std::string eightAndMore =
      "9.0.0.1 30\nx\n9.0.0.1\n9.0.0.2\n9.0.0.3\nbad.host\n9.0.0.4\n9.0.0.5\n9.0.0.6\n9.0.0.2"
      "\n9.0.0.7\n9.0.0.8\n1.1.1.1\n";
  const struct {
    std::string body;
    Addresses addresses;
    double lifetime;  // seconds: nine tenths of what the server gave, or the default 300
  } cases[] = {
      {"10.0.0.1 60\n10.0.0.2\n", {"10.0.0.1", "10.0.0.2"}, 54},
      {"10.0.0.1", {"10.0.0.1"}, 300},
      {"1.2.3.4 7", {"1.2.3.4"}, 7 * 0.9},
      {"1.2.3.4 000000000000000000000000010", {"1.2.3.4"}, 9},
      {"1.2.3.4 0", {"1.2.3.4"}, 0},
      // Runs of spaces are one separator; the lifetime is the first line's last field.
      {"   1.1.1.1    x   120  \n\n\n  2.2.2.2 999\n", {"1.1.1.1", "2.2.2.2"}, 108},
      // "60\r" is not all digits, and "10.0.0.2\r" would end up inside a URL's host.
      {"10.0.0.1 60\r\n10.0.0.2\r\n", {"10.0.0.1"}, 300},
      {"9.9.9.9 30\n10.0.0.2\n9.9.9.9\n10.0.0.2 1\n", {"10.0.0.2", "9.9.9.9"}, 27},
      // Invalid entries and repeats use up no places; beyond eight nothing, even what sorts first.
      {eightAndMore,
       {"9.0.0.1", "9.0.0.2", "9.0.0.3", "9.0.0.4", "9.0.0.5", "9.0.0.6", "9.0.0.7", "9.0.0.8"},
       27},
      {"60\n", {}, 54},  // a lone number gives the lifetime, but no address
      {"evil.example/x 60\n10.0.0.1\n", {"10.0.0.1"}, 54},
      {"1.2.3.4 672000", {"1.2.3.4"}, 604800},  // exactly seven days
      {"1.2.3.4 672001", {"1.2.3.4"}, 300},
      {"1.2.3.4 99999999999999999999", {"1.2.3.4"}, 300},
      {"1.2.3.4 -60", {"1.2.3.4"}, 300},
      {"1.2.3.4 6e1", {"1.2.3.4"}, 300},
      {"1.2.3.4 60.5", {"1.2.3.4"}, 300},
      {std::string(1024 * 1024, ' ') + "1.2.3.4", {"1.2.3.4"}, 300},
      {std::string(1024 * 1024, '7'), {}, 300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    const HttpDnsAnswer a = ParseHttpDnsAnswer(c.body);
    EXPECT_EQ(a.addresses, c.addresses);
    EXPECT_DOUBLE_EQ(a.lifetimeSeconds, c.lifetime);
  }
  const HttpDnsAnswer skipped = ParseHttpDnsAnswer("10.0.0.1 60\r\n10.0.0.2\r\n");
  EXPECT_EQ(skipped.skipped, 1u);
  EXPECT_EQ(skipped.firstSkipped, "10.0.0.2\r");
}

TEST(HttpDnsAnswerTest, OnlyDottedQuadsBecomeAddresses) {
  for (const char* good : {"0.0.0.0", "255.255.255.255", "127.0.0.1", "1.22.100.249"}) {
    EXPECT_TRUE(IsDottedQuadIPv4(good)) << good;
  }
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1.2.3.4.5", "256.1.1.1", "1.2.3.1000", "01.2.3.4",
        "1.2.3.04", "1..2.3", "a.b.c.d", "1.2.3.4/x", "1.2.3.4:80", "evil.com/", "1.2.3.4\r",
        "-1.2.3.4", "1.2.3.+4", "::1", "1.2.3.4 "}) {
    EXPECT_FALSE(IsDottedQuadIPv4(bad)) << bad;
  }
}

platform::CalendarTime Utc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s,
                           uint16_t ms) {
  platform::CalendarTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.milliseconds = ms;
  return t;
}

TEST(HttpDnsRecordTest, ExpiryCarriesAcrossEveryField) {
  const platform::CalendarTime end = CalendarTimeAfter(Utc(2023, 12, 31, 23, 59, 59, 950), 54);
  EXPECT_EQ(end.year, 2024);
  EXPECT_EQ(end.month, 1);
  EXPECT_EQ(end.day, 1);
  EXPECT_EQ(end.hour, 0);
  EXPECT_EQ(end.minute, 0);
  EXPECT_EQ(end.second, 53);
  EXPECT_EQ(end.milliseconds, 950);
  EXPECT_EQ(end.dayOfWeek, 1);  // Monday

  const platform::CalendarTime leap = CalendarTimeAfter(Utc(2024, 2, 28, 12, 0, 0, 0), 86400);
  EXPECT_EQ(leap.month, 2);
  EXPECT_EQ(leap.day, 29);
  EXPECT_EQ(leap.dayOfWeek, 4);  // Thursday

  const platform::CalendarTime fraction = CalendarTimeAfter(Utc(2024, 5, 1, 0, 0, 0, 0), 6.3);
  EXPECT_EQ(fraction.second, 6);
  EXPECT_EQ(fraction.milliseconds, 300);

  // Unusable lifetimes leave the time as it was (stale at once), never a wrapped calendar.
  const platform::CalendarTime now = Utc(2024, 5, 1, 1, 2, 3, 4);
  EXPECT_FALSE(IsEarlier(CalendarTimeAfter(now, 1e300), now));
  EXPECT_FALSE(IsEarlier(now, CalendarTimeAfter(now, 1e300)));
  EXPECT_EQ(CalendarTimeAfter(Utc(30827, 12, 31, 23, 59, 59, 0), 10).year, 30827);
}

TEST(HttpDnsRecordTest, EarlierComparesFromTheYearDownIgnoringTheWeekday) {
  const platform::CalendarTime t = Utc(2024, 5, 1, 10, 30, 15, 500);
  EXPECT_FALSE(IsEarlier(t, t));
  EXPECT_TRUE(IsEarlier(t, Utc(2024, 5, 1, 10, 30, 15, 501)));
  EXPECT_TRUE(IsEarlier(Utc(2023, 12, 31, 23, 59, 59, 999), t));
  EXPECT_FALSE(IsEarlier(Utc(2024, 6, 1, 0, 0, 0, 0), t));
  platform::CalendarTime otherDay = t;
  otherDay.dayOfWeek = 6;
  EXPECT_FALSE(IsEarlier(otherDay, t));
  EXPECT_FALSE(IsEarlier(t, otherDay));
}

}  // namespace
}  // namespace lumo
