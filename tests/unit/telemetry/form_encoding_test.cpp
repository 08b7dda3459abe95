// Telemetry bodies: the encoding rules, the 2 KiB cut, key order, the zone offset and the
// numbers of a download record.
#include "telemetry/form_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "telemetry/events.h"

namespace lumo {
namespace {

TEST(FormEncode, EscapingCuttingAndOrder) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  const struct {
    FormPairs pairs;
    std::string body;
  } cases[] = {
      {{{"k", "AZaz09-_.~"}}, "k=AZaz09-_.~"},
      {{{"k", "a b/c+1=2&x?\xC3\xA9"}}, "k=a%20b%2Fc%2B1%3D2%26x%3F%C3%A9"},
      {{{"k", std::string("\x00\x7F\xFF", 3)}}, "k=%00%7F%FF"},
      {{{"b", "2"}, {"a", "1"}, {"Z", "0"}}, "Z=0&a=1&b=2"},  // byte order of keys
      {{{"downloadedFileSize", "1"}, {"downloadUuid", "u"}}, "downloadUuid=u&downloadedFileSize=1"},
      {{{"a", ""}, {"b", "x"}, {"", "lost"}, {"c", ""}}, "b=x"},  // no empty pairs
      {{{"a", ""}}, ""},
      {{{"k", std::string(6 << 20, 'a')}}, "k=" + std::string(2048, 'a')},
      // A character across the 2 KiB limit goes whole.
      {{{"k", std::string(2047, 'a') + euro}}, "k=" + std::string(2047, 'a')},
      {{{"k", std::string(2045, 'a') + euro + "b"}}, "k=" + std::string(2045, 'a') + "%E2%82%AC"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormEncode(c.pairs), c.body) << c.body.substr(0, 40);
}

TEST(CurrentTimeText, OffsetInForceWithItsMinutes) {
  platform::CalendarTime t;
  t.year = 2024;
  t.month = 5;
  t.day = 1;
  t.hour = 12;
  t.minute = 34;
  t.second = 56;
  const struct {
    int32_t bias;
    const char* zone;
  } cases[] = {{-480, "+08:00"}, {300, "-05:00"}, {-345, "+05:45"}, {570, "-09:30"},
               {0, "+00:00"},    {30, "-00:30"},  {720, "-12:00"},  {-840, "+14:00"}};
  for (const auto& c : cases) {
    EXPECT_EQ(CurrentTimeTextFor(t, c.bias), std::string("2024-05-01T12:34:56") + c.zone) << c.bias;
  }
  EXPECT_EQ(CurrentTimeText().size(), 25u);
}

TEST(FileDownloadEvent, NumbersAlwaysSentInFullAndTextsOnlyWhenSet) {
  FileDownloadEvent fresh;
  FormPairs pairs = fresh.ToPairs();
  for (const char* key : {"averageDownloadSpeed", "downloadDuration", "fileSize", "success"}) {
    EXPECT_EQ(pairs[key], "0") << key;
  }
  EXPECT_EQ(FormEncode(pairs).find("sid="), std::string::npos);

  FileDownloadEvent event;
  event.eventType = kEventFileDownloadDns;
  event.cdnUrl = "http://127.0.0.1:8080/data.pak";
  event.fileSize = 5000000000ull;  // above 32 bits
  event.downloadedFileSize = 4294967296ull;
  event.downloadDuration = 4294967295u;
  event.minDownloadSpeed = 1;
  event.success = 1;
  pairs = event.ToPairs();
  EXPECT_EQ(pairs["fileSize"], "5000000000");
  EXPECT_EQ(pairs["downloadedFileSize"], "4294967296");
  EXPECT_EQ(pairs["downloadDuration"], "4294967295");
  EXPECT_EQ(pairs["minDownloadSpeed"], "1");
  EXPECT_EQ(pairs["success"], "1");
  EXPECT_EQ(pairs["eventType"], "FILE_DOWNLOAD_DNS");
  EXPECT_EQ(pairs["cdnIps"], "127.0.0.1");  // a numeric host resolves to itself
  EXPECT_EQ(FormEncode(pairs).find("fileChecksum"), std::string::npos);
}

}  // namespace
}  // namespace lumo
