// The HTTP DNS answer parser and the record's calendar arithmetic: pure functions of their
// input, whatever the server sent.
#include "source/http_dns_answer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "source/http_dns_record.h"

namespace lumo {
namespace {

using Addresses = std::set<std::string>;

TEST(HttpDnsAnswerTest, AddressesAndLifetimeFromTheDocumentedForms) {
  HttpDnsAnswer a = ParseHttpDnsAnswer("10.0.0.1 60\n10.0.0.2\n");
  EXPECT_EQ(a.addresses, (Addresses{"10.0.0.1", "10.0.0.2"}));
  EXPECT_DOUBLE_EQ(a.lifetimeSeconds, 54);

  a = ParseHttpDnsAnswer("10.0.0.1");
  EXPECT_EQ(a.addresses, (Addresses{"10.0.0.1"}));
  EXPECT_DOUBLE_EQ(a.lifetimeSeconds, 300);

  // The fraction counts; leading zeros are digits like any other.
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 7").lifetimeSeconds, 7 * 0.9);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 000000000000000000000000010").lifetimeSeconds, 9);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 0").lifetimeSeconds, 0);

  // Runs of spaces are one separator; the lifetime is the first line's last field.
  a = ParseHttpDnsAnswer("   1.1.1.1    x   120  \n\n\n  2.2.2.2 999\n");
  EXPECT_EQ(a.addresses, (Addresses{"1.1.1.1", "2.2.2.2"}));
  EXPECT_DOUBLE_EQ(a.lifetimeSeconds, 108);
}

TEST(HttpDnsAnswerTest, CarriageReturnsStayInTheirFields) {
  const HttpDnsAnswer a = ParseHttpDnsAnswer("10.0.0.1 60\r\n10.0.0.2\r\n");
  EXPECT_DOUBLE_EQ(a.lifetimeSeconds, 300);  // "60\r" is not all digits
  EXPECT_EQ(a.addresses, (Addresses{"10.0.0.1"}));
  EXPECT_EQ(a.skipped, 1u);  // "10.0.0.2\r" would end up inside a URL's host
  EXPECT_EQ(a.firstSkipped, "10.0.0.2\r");
}

TEST(HttpDnsAnswerTest, DuplicatesOnceInByteOrder) {
  const HttpDnsAnswer a = ParseHttpDnsAnswer("9.9.9.9 30\n10.0.0.2\n9.9.9.9\n10.0.0.2 1\n");
  EXPECT_EQ(std::vector<std::string>(a.addresses.begin(), a.addresses.end()),
            (std::vector<std::string>{"10.0.0.2", "9.9.9.9"}));
}

TEST(HttpDnsAnswerTest, TheFirstEightDistinctAddressesOnly) {
  struct Case {
    std::string body;
    Addresses addresses;
  };
  const Case cases[] = {
      // Invalid entries and repeats do not use up places; later addresses beyond eight are out
      // even when they would sort first.
      {"9.0.0.1 30\nx\n9.0.0.1\n9.0.0.2\n9.0.0.3\nbad.host\n9.0.0.4\n9.0.0.5\n9.0.0.6\n9.0.0.2"
       "\n9.0.0.7\n9.0.0.8\n1.1.1.1\n",
       {"9.0.0.1", "9.0.0.2", "9.0.0.3", "9.0.0.4", "9.0.0.5", "9.0.0.6", "9.0.0.7", "9.0.0.8"}},
  };
  for (const Case& c : cases) {
    const HttpDnsAnswer a = ParseHttpDnsAnswer(c.body);
    EXPECT_EQ(a.addresses, c.addresses) << c.body.substr(0, 40);
  }
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer(cases[0].body).lifetimeSeconds, 30 * 0.9);
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
  // A first line that is a single number still gives its lifetime, but no address.
  const HttpDnsAnswer number = ParseHttpDnsAnswer("60\n");
  EXPECT_TRUE(number.addresses.empty());
  EXPECT_DOUBLE_EQ(number.lifetimeSeconds, 54);
  EXPECT_EQ(number.skipped, 1u);
  // A host name with a path would redirect the download elsewhere.
  const HttpDnsAnswer host = ParseHttpDnsAnswer("evil.example/x 60\n10.0.0.1\n");
  EXPECT_EQ(host.addresses, (Addresses{"10.0.0.1"}));
  EXPECT_EQ(host.firstSkipped, "evil.example/x");
}

TEST(HttpDnsAnswerTest, LifetimesBeyondSevenDaysOrAnyRangeAreTheDefault) {
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 672000").lifetimeSeconds, 604800);  // exactly 7 d
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 672001").lifetimeSeconds, 300);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 99999999999999999999").lifetimeSeconds, 300);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 " + std::string(400, '9')).lifetimeSeconds, 300);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 -60").lifetimeSeconds, 300);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 6e1").lifetimeSeconds, 300);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer("1.2.3.4 60.5").lifetimeSeconds, 300);
}

// Answers a broken or hostile server might send: each parses without harm, and whatever it
// gives is only ever dotted quads with a lifetime within bounds.
TEST(HttpDnsAnswerTest, MalformedAnswersAreHandled) {
  std::mt19937 random(12345);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
  std::string manyLines;
  for (int i = 0; i < 5000; ++i) manyLines += std::to_string(i % 256) + ".0.0." + "1 7\n";
  std::string manyFields;
  for (int i = 0; i < 100000; ++i) manyFields += "x ";

  const std::vector<std::string> answers = {
      "",
      "\n\n\n",
      "      \n   \n",
      "\r\n\r\n",
      std::string(1024 * 1024, 'a'),
      std::string(1024 * 1024, '7'),
      "1.2.3.4 " + std::string(1024 * 1024, '7'),
      std::string(1024 * 1024, ' ') + "1.2.3.4",
      manyLines,
      manyFields,
      garbage,
      std::string("1.2.3.4\0 60", 11),
      "1.2.3.4 184467440737095516160\n",
      "1.2.3.4 1e308\n",
      "999999999999.1.1.1 60\n",
  };
  for (const std::string& body : answers) {
    const HttpDnsAnswer a = ParseHttpDnsAnswer(body);
    for (const std::string& address : a.addresses) EXPECT_TRUE(IsDottedQuadIPv4(address));
    EXPECT_GE(a.lifetimeSeconds, 0);
    EXPECT_LE(a.lifetimeSeconds, HttpDnsAnswer::kMaxLifetimeSeconds);
  }
  EXPECT_EQ(ParseHttpDnsAnswer(manyLines).addresses.size(), HttpDnsAnswer::kMaxAddresses);
  EXPECT_DOUBLE_EQ(ParseHttpDnsAnswer(manyLines).lifetimeSeconds, 7 * 0.9);
  EXPECT_TRUE(ParseHttpDnsAnswer(std::string(1024 * 1024, '7')).addresses.empty());
  EXPECT_EQ(ParseHttpDnsAnswer(std::string(1024 * 1024, ' ') + "1.2.3.4").addresses,
            (Addresses{"1.2.3.4"}));
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
