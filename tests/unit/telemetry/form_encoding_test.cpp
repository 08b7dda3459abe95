#include "telemetry/form_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "machine/machine_identity.h"
#include "telemetry/events.h"

namespace lumo {
namespace {

const char kStamp[] = "2024-05-01T12:34:56+08:00";
const char kEncodedStamp[] = "2024-05-01T12%3A34%3A56%2B08%3A00";

// The pairs of a body, in order, without decoding.
std::vector<std::pair<std::string, std::string>> SplitBody(const std::string& body) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string item = body.substr(start, end - start);
    const size_t eq = item.find('=');
    pairs.emplace_back(item.substr(0, eq), eq == std::string::npos ? "" : item.substr(eq + 1));
    start = end + 1;
  }
  return pairs;
}

std::vector<std::string> Keys(const std::string& body) {
  std::vector<std::string> keys;
  for (const auto& pair : SplitBody(body)) keys.push_back(pair.first);
  return keys;
}

std::string ValueOf(const std::string& body, const std::string& key) {
  for (const auto& pair : SplitBody(body)) {
    if (pair.first == key) return pair.second;
  }
  return "<absent>";
}

TEST(UrlEncodeValue, KeepsUnreservedAndEscapesEverythingElseUpperCase) {
  EXPECT_EQ(UrlEncodeValue("a b/c"), "a%20b%2Fc");
  EXPECT_EQ(UrlEncodeValue("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(UrlEncodeValue("AZaz09-_.~"), "AZaz09-_.~");
  EXPECT_EQ(UrlEncodeValue("1+1=2&x?"), "1%2B1%3D2%26x%3F");
  EXPECT_EQ(UrlEncodeValue(kStamp), kEncodedStamp);
  EXPECT_EQ(UrlEncodeValue("00:1A:2B:3C:4D:5E"), "00%3A1A%3A2B%3A3C%3A4D%3A5E");
  EXPECT_EQ(UrlEncodeValue("10.0.0.1,10.0.0.2"), "10.0.0.1%2C10.0.0.2");
  EXPECT_EQ(UrlEncodeValue(std::string("\x00\x7F\xFF", 3)), "%00%7F%FF");
  EXPECT_EQ(UrlEncodeValue(""), "");
}

TEST(FormEncode, ValuesAreCutTo2KiBAtACharacter) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  const struct {
    std::string value;
    std::string sent;
  } cases[] = {
      {std::string(2048, 'a'), std::string(2048, 'a')},
      {std::string(6 << 20, 'a'), std::string(2048, 'a')},
      // A character across the limit goes whole.
      {std::string(2047, 'a') + euro, std::string(2047, 'a')},
      {std::string(2045, 'a') + euro + "b", std::string(2045, 'a') + euro},
      {std::string(2046, 'a') + euro + euro, std::string(2046, 'a')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormEncode({{"k", c.value}}), "k=" + UrlEncodeValue(c.sent)) << c.value.size();
  }
}

TEST(FormEncode, ByteOrderOfKeysAndNoEmptyPairs) {
  EXPECT_EQ(FormEncode({{"b", "2"}, {"a", "1"}, {"Z", "0"}}), "Z=0&a=1&b=2");
  EXPECT_EQ(FormEncode({{"a", ""}, {"b", "x y"}, {"", "lost"}, {"c", ""}}), "b=x%20y");
  EXPECT_EQ(FormEncode({{"a", ""}, {"b", ""}}), "");
  EXPECT_EQ(FormEncode({}), "");
  EXPECT_EQ(FormEncode({{"downloadedFileSize", "1"}, {"downloadUuid", "u"}}),
            "downloadUuid=u&downloadedFileSize=1");
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
  } cases[] = {
      {-480, "+08:00"}, {300, "-05:00"},  {240, "-04:00"},  // New York in summer
      {-660, "+11:00"},                                     // Sydney in summer
      {-330, "+05:30"}, {-345, "+05:45"}, {570, "-09:30"},  // Kolkata, Kathmandu, Marquesas
      {0, "+00:00"},    {30, "-00:30"},   {720, "-12:00"}, {-840, "+14:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CurrentTimeTextFor(t, c.bias), std::string("2024-05-01T12:34:56") + c.zone) << c.bias;
  }

  const std::string now = CurrentTimeText();
  EXPECT_EQ(now.size(), 25u) << now;
  // Shape "dddd-dd-ddTdd:dd:dd+dd:dd".
  const std::string shape = "0000-00-00T00:00:00+00:00";
  for (size_t i = 0; i < shape.size() && i < now.size(); ++i) {
    if (shape[i] == '0') {
      EXPECT_TRUE(now[i] >= '0' && now[i] <= '9') << now;
    } else if (shape[i] == '+') {
      EXPECT_TRUE(now[i] == '+' || now[i] == '-') << now;
    } else {
      EXPECT_EQ(now[i], shape[i]) << now;
    }
  }
}

TEST(ModuleVersionEvent, WorkedExample) {
  ModuleVersionEvent event;
  event.sid = "abc";
  event.gameCode = "g1";
  event.clientVersion = "1.0";
  event.moduleName = "LumoDownloader";
  event.version = "v1.1.7";
  event.buildId = "1711222";
  event.currentTime = kStamp;

  const std::string expectedWithoutMac =
      std::string("buildId=1711222&clientVersion=1.0&currentTime=") + kEncodedStamp +
      "&eventType=MODULE_VERSION&gameCode=g1&moduleName=LumoDownloader&sid=abc&version=v1.1.7";
  FormPairs pairs = event.ToPairs();
  pairs.erase("macAddress");
  EXPECT_EQ(FormEncode(pairs), expectedWithoutMac);

  // The real body differs only by this machine's MAC address, if it has one.
  const std::string mac = GetMacAddress();
  std::string expected = expectedWithoutMac;
  if (!mac.empty()) {
    const std::string before = "&moduleName=";
    expected.insert(expected.find(before), "&macAddress=" + UrlEncodeValue(mac));
  }
  EXPECT_EQ(event.ToForm(), expected);
}

TEST(Events, ConstructionValues) {
  EXPECT_EQ(FileDownloadEvent().eventType, "FILE_DOWNLOAD");
  EXPECT_EQ(StatisticsEvent().eventType, "DOWNLOAD_STATISTICS");
  EXPECT_EQ(ExceptionEvent().eventType, "BIZ_EXCEPTION");
  EXPECT_EQ(ModuleVersionEvent().eventType, "MODULE_VERSION");
  EXPECT_EQ(RequestEvent().eventType, "DNS_REQUEST");
  EXPECT_EQ(FileDownloadEvent().currentTime.size(), 25u);
  EXPECT_EQ(RequestEvent().currentTime.size(), 25u);
  FileDownloadEvent file;
  EXPECT_TRUE(file.sid.empty());
  EXPECT_EQ(file.fileSize, 0u);
  EXPECT_EQ(file.success, 0);
}

TEST(FileDownloadEvent, FreshRecordSendsZerosAndMachineFactsButNoEmptyTexts) {
  const FileDownloadEvent event;
  const std::string body = event.ToForm();
  ASSERT_FALSE(body.empty());
  EXPECT_NE(body.front(), '&');
  EXPECT_NE(body.back(), '&');
  for (const char* key :
       {"averageDownloadSpeed", "currentDownloadSpeed", "downloadDuration", "downloadedFileSize",
        "fileSize", "maxDownloadSpeed", "minDownloadSpeed", "success"}) {
    EXPECT_EQ(ValueOf(body, key), "0") << key;
  }
  EXPECT_EQ(ValueOf(body, "eventType"), "FILE_DOWNLOAD");
  EXPECT_EQ(ValueOf(body, "localIp"), UrlEncodeValue(GetLocalIp()));
  EXPECT_EQ(ValueOf(body, "hostName"),
            GetHostName().empty() ? "<absent>" : UrlEncodeValue(GetHostName()));
  for (const char* key :
       {"sid", "gameCode", "clientVersion", "downloadUuid", "downloadState", "fileName",
        "fileChecksum", "cdnUrl", "cdnIps", "saveDir", "driverBus", "downloadMode", "msg"}) {
    EXPECT_EQ(ValueOf(body, key), "<absent>") << key;
  }
}

TEST(FileDownloadEvent, FilledRecordInKeyOrderWithDecimalNumbers) {
  FileDownloadEvent event;
  event.sid = "s 1";
  event.gameCode = "g";
  event.clientVersion = "2.0";
  event.downloadUuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  event.downloadState = "DOWNLOADED";
  event.fileName = "data.pak";
  event.eventType = kEventFileDownloadDns;
  event.cdnUrl = "http://127.0.0.1:8080/data.pak";
  event.saveDir = "/games/\xC3\xA9t\xC3\xA9";
  event.driverBus = "SATA";
  event.fileSize = 5000000000ull;  // above 32 bits
  event.downloadedFileSize = 4294967296ull;
  event.downloadDuration = 4294967295u;
  event.currentDownloadSpeed = 7;
  event.averageDownloadSpeed = 8;
  event.maxDownloadSpeed = 9;
  event.minDownloadSpeed = 1;
  event.success = 1;
  event.downloadMode = "HTTP";
  event.msg = "Success";

  const std::string body = event.ToForm();
  std::vector<std::string> keys = Keys(body);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  const auto uuid = std::find(keys.begin(), keys.end(), "downloadUuid");
  const auto size = std::find(keys.begin(), keys.end(), "downloadedFileSize");
  ASSERT_NE(uuid, keys.end());
  ASSERT_NE(size, keys.end());
  EXPECT_LT(uuid, size);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "fileChecksum"), 0);

  EXPECT_EQ(ValueOf(body, "fileSize"), "5000000000");
  EXPECT_EQ(ValueOf(body, "downloadedFileSize"), "4294967296");
  EXPECT_EQ(ValueOf(body, "downloadDuration"), "4294967295");
  EXPECT_EQ(ValueOf(body, "success"), "1");
  EXPECT_EQ(ValueOf(body, "eventType"), "FILE_DOWNLOAD_DNS");
  EXPECT_EQ(ValueOf(body, "sid"), "s%201");
  EXPECT_EQ(ValueOf(body, "saveDir"), "%2Fgames%2F%C3%A9t%C3%A9");
  EXPECT_EQ(ValueOf(body, "cdnUrl"), "http%3A%2F%2F127.0.0.1%3A8080%2Fdata.pak");
  // The numeric host resolves to itself without a name server.
  EXPECT_EQ(ValueOf(body, "cdnIps"), "127.0.0.1");

  // Everything but the machine facts is fixed: compare the whole body of the pairs.
  FormPairs pairs = event.ToPairs();
  for (const char* key : {"hostName", "localIp", "macAddress"}) pairs.erase(key);
  EXPECT_EQ(FormEncode(pairs),
            "averageDownloadSpeed=8&cdnIps=127.0.0.1&cdnUrl=http%3A%2F%2F127.0.0.1%3A8080%2F"
            "data.pak&clientVersion=2.0&currentDownloadSpeed=7&currentTime=" +
                UrlEncodeValue(event.currentTime) +
                "&downloadDuration=4294967295&downloadMode=HTTP&downloadState=DOWNLOADED"
                "&downloadUuid=0f8fad5b-d9cb-469f-a165-70867728950e"
                "&downloadedFileSize=4294967296&driverBus=SATA&eventType=FILE_DOWNLOAD_DNS"
                "&fileName=data.pak&fileSize=5000000000&gameCode=g&maxDownloadSpeed=9"
                "&minDownloadSpeed=1&msg=Success&saveDir=%2Fgames%2F%C3%A9t%C3%A9&sid=s%201"
                "&success=1");
}

TEST(Events, KeysOfTheOtherRecords) {
  auto keysWithoutMachine = [](FormPairs pairs) {
    std::vector<std::string> keys;
    for (const auto& pair : pairs) keys.push_back(pair.first);
    return keys;
  };
  using Keys = std::vector<std::string>;
  EXPECT_EQ(keysWithoutMachine(StatisticsEvent().ToPairs()),
            (Keys{"clientVersion", "currentTime", "eventType", "gameCode", "macAddress", "sid",
                  "statistics_msg"}));
  EXPECT_EQ(keysWithoutMachine(ExceptionEvent().ToPairs()),
            (Keys{"cdnIps", "cdnUrl", "clientVersion", "currentTime", "downloadFileName",
                  "driverBus", "err", "errExtCode", "eventType", "exceptionMsg", "gameCode",
                  "hostName", "localIp", "macAddress", "saveDir", "saveDirExists", "sid"}));
  EXPECT_EQ(keysWithoutMachine(RequestEvent().ToPairs()),
            (Keys{"clientVersion", "currentTime", "eventType", "gameCode", "macAddress", "msg",
                  "response", "sid", "success", "url"}));

  RequestEvent request;
  request.eventType = kEventCdnPreferRequest;
  request.url = "http://127.0.0.1/cdn-domain/g1";
  request.msg = "HRESULT=ok";
  request.response = "{\"domain\":\"a.b\"}";
  FormPairs pairs = request.ToPairs();
  pairs.erase("macAddress");
  EXPECT_EQ(FormEncode(pairs), "currentTime=" + UrlEncodeValue(request.currentTime) +
                                   "&eventType=CDN_PREFER_REQUEST&msg=HRESULT%3Dok"
                                   "&response=%7B%22domain%22%3A%22a.b%22%7D&success=0"
                                   "&url=http%3A%2F%2F127.0.0.1%2Fcdn-domain%2Fg1");

  StatisticsEvent statistics;
  statistics.statistics_msg = "a=1;b=2";
  EXPECT_EQ(ValueOf(statistics.ToForm(), "statistics_msg"), "a%3D1%3Bb%3D2");
}

}  // namespace
}  // namespace lumo
