// Telemetry as the collector receives it: every event type, byte-checked against the encoding
// rules (sorted keys, no empty values, unreserved bytes kept, everything else %XX upper-case).
#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "e2e_support.h"
#include "form_body.h"

namespace lumo::e2e {
namespace {

using services::FormPairs;
using services::FormValue;

const std::set<std::string> kFileDownloadKeys = {
    "averageDownloadSpeed", "cdnIps",     "cdnUrl",       "clientVersion",
    "currentDownloadSpeed", "currentTime", "downloadDuration", "downloadMode",
    "downloadState",        "downloadUuid", "downloadedFileSize", "driverBus",
    "eventType",            "fileChecksum", "fileName",     "fileSize",
    "gameCode",             "hostName",   "localIp",      "macAddress",
    "maxDownloadSpeed",     "minDownloadSpeed", "msg",     "saveDir",
    "sid",                  "success"};
const std::set<std::string> kFileDownloadNumbers = {
    "averageDownloadSpeed", "currentDownloadSpeed", "downloadDuration", "downloadedFileSize",
    "fileSize",             "maxDownloadSpeed",     "minDownloadSpeed", "success"};
const std::set<std::string> kRequestKeys = {"clientVersion", "currentTime", "eventType",
                                            "gameCode",      "macAddress",  "msg",
                                            "response",      "sid",         "success",
                                            "url"};
const std::map<std::string, std::set<std::string>> kKeysByType = {
    {"FILE_DOWNLOAD", kFileDownloadKeys},
    {"FILE_DOWNLOAD_DNS", kFileDownloadKeys},
    {"DNS_REQUEST", kRequestKeys},
    {"CDN_PREFER_REQUEST", kRequestKeys},
    {"MODULE_VERSION",
     {"buildId", "clientVersion", "currentTime", "eventType", "gameCode", "macAddress",
      "moduleName", "sid", "version"}},
    {"DOWNLOAD_STATISTICS",
     {"clientVersion", "currentTime", "eventType", "gameCode", "macAddress", "sid",
      "statistics_msg"}},
    {"RUNNING_EXCEPTION",
     {"cdnIps", "cdnUrl", "clientVersion", "currentTime", "downloadFileName", "driverBus", "err",
      "errExtCode", "eventType", "exceptionMsg", "gameCode", "hostName", "localIp", "macAddress",
      "saveDir", "saveDirExists", "sid"}},
};

// Text the host sets: a space, a slash, a plus and a two-byte UTF-8 letter all need escaping.
const char kSid[] = "e2e sid/1+\xC3\xBC";
const char kSidOnTheWire[] = "sid=e2e%20sid%2F1%2B%C3%BC";
const char kGame[] = "g1";
const char kClientVersion[] = "1.0.0-e2e";

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return c >= '0' && c <= '9';
  });
}

void CheckCommonRules(const std::string& type, const std::string& body) {
  SCOPED_TRACE(type + ": " + body);
  FormPairs pairs;
  ASSERT_TRUE(services::ParseForm(body, pairs));
  // Re-encoding the decoded pairs by the rules gives back the very same bytes.
  EXPECT_EQ(services::EncodeForm(pairs), body);
  std::vector<std::string> keys;
  for (const auto& pair : pairs) keys.push_back(pair.first);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end()) << "a key twice";
  const auto& allowed = kKeysByType.at(type);
  for (const auto& key : keys) EXPECT_EQ(allowed.count(key), 1u) << "unexpected key " << key;
  EXPECT_EQ(FormValue(pairs, "eventType"), type);
  EXPECT_TRUE(std::regex_match(FormValue(pairs, "currentTime"),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
      << FormValue(pairs, "currentTime");
  EXPECT_EQ(FormValue(pairs, "sid"), kSid);
  EXPECT_NE(body.find(kSidOnTheWire), std::string::npos);
  EXPECT_EQ(FormValue(pairs, "gameCode"), kGame);
  EXPECT_EQ(FormValue(pairs, "clientVersion"), kClientVersion);
  EXPECT_EQ(FormValue(pairs, "fileChecksum"), "") << "never sent";
}

TEST(TelemetryE2E, EveryEventTypeReachesTheCollectorEncodedByTheRules) {
  RunInChild([] {
    services::ServicesConfig config;
    config.preferredDomains[kGame] = "cdn-b.lumo.test";
    const fs::path files = ScenarioDir() / "files";
    const fs::path downloads = ScenarioDir() / "downloads";
    fs::create_directories(downloads);
    WriteRandomFile(files / "data.bin", 512 * 1024 + 3, 11);
    WriteRandomFile(files / "game" / "patch.bin", 256 * 1024, 12);
    std::ofstream(files / "sums.md5") << ManifestLine(files / "data.bin");
    auto services = StartServices(files, &config);
    ASSERT_TRUE(services);
    LUMO_E2E_NEED_PORT_80(*services);
    const std::string base = services->Url();

    HostedModule module(LUMO_E2E_BIN_DIR);
    ASSERT_TRUE(module.ok());
    module.SetText(kLumoOptionSid, kSid);
    module.SetText(kLumoOptionGameCode, kGame);
    module.SetText(kLumoOptionClientVersion, kClientVersion);
    const std::string preferredUrl = base + "/m/cdn-b.lumo.test/data.bin";
    ASSERT_EQ(module.Add({base + "/m/cdn-a.lumo.test/data.bin", preferredUrl}, downloads, "",
                         {base + "/sums.md5"}, Md5Hex(ReadFile(files / "sums.md5"))),
              0);
    ASSERT_EQ(module.Add({std::string("http://") + LUMO_E2E_CDN_HOST + "/game/patch.bin"},
                         downloads),
              0);
    ASSERT_EQ(module.Add({base + "/fault/status=404/missing.bin"}, downloads), 0);
    ASSERT_EQ(module->Start(), 0);
    ASSERT_TRUE(module.PollUntil([&] { return module.RunState() == kLumoRunStateIdle; },
                                 kJobBound));
    ASSERT_EQ(module->SampleStatistics(), 0);

    const std::vector<std::string> types = {"MODULE_VERSION",    "FILE_DOWNLOAD",
                                            "FILE_DOWNLOAD_DNS", "DNS_REQUEST",
                                            "CDN_PREFER_REQUEST", "RUNNING_EXCEPTION",
                                            "DOWNLOAD_STATISTICS"};
    const bool all = services->WaitFor(
        [&] {
          const auto counts = services->TelemetryCountByType();
          return std::all_of(types.begin(), types.end(),
                             [&](const std::string& t) { return counts.count(t) > 0; });
        },
        std::chrono::seconds(30));
    const auto counts = services->TelemetryCountByType();
    for (const auto& type : types) EXPECT_EQ(counts.count(type), 1u) << type << " never came";
    ASSERT_TRUE(all);
    EXPECT_EQ(counts.size(), types.size()) << "an event type outside the seven";

    const std::string dnsAnswer = "127.0.0.1 60\n";
    for (const auto& record : services->Telemetry()) {
      CheckCommonRules(record.eventType, record.body);
      FormPairs pairs;
      ASSERT_TRUE(services::ParseForm(record.body, pairs));
      auto value = [&](const char* key) { return FormValue(pairs, key); };
      SCOPED_TRACE(record.body);
      if (record.eventType == "MODULE_VERSION") {
        EXPECT_EQ(value("moduleName"), "LumoDownloader");
        EXPECT_EQ(value("version"), "v1.1.7");
        EXPECT_EQ(value("buildId"), "1711222");
      } else if (record.eventType == "FILE_DOWNLOAD" ||
                 record.eventType == "FILE_DOWNLOAD_DNS") {
        for (const auto& key : kFileDownloadNumbers) {
          EXPECT_TRUE(AllDigits(value(key.c_str()))) << key << " must be sent, also as 0";
        }
        EXPECT_EQ(value("downloadMode"), "HTTP");
        EXPECT_FALSE(value("localIp").empty());
        if (record.eventType == "FILE_DOWNLOAD") {
          EXPECT_EQ(value("success"), "1");
          EXPECT_TRUE(std::regex_match(
              value("downloadUuid"),
              std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
          EXPECT_TRUE(std::set<std::string>({"START_DOWNLOAD", "DOWNLOADING", "DOWNLOADED",
                                             "DOWNLOADING_UNNORMAL"})
                          .count(value("downloadState")));
        } else {
          EXPECT_EQ(value("cdnUrl"),
                    std::string("http://127.0.0.1/") + LUMO_E2E_CDN_HOST + "/game/patch.bin");
          EXPECT_EQ(value("downloadState"), "DOWNLOADED");
          EXPECT_EQ(value("success"), "1");
          EXPECT_EQ(value("msg"), "Success");
        }
      } else if (record.eventType == "DNS_REQUEST") {
        EXPECT_EQ(value("url"), std::string(LUMO_E2E_DNS_URL) + LUMO_E2E_CDN_HOST);
        EXPECT_EQ(value("response"), dnsAnswer);
        EXPECT_EQ(value("success"), "1");
        EXPECT_EQ(value("msg").rfind("HRESULT=", 0), 0u);
      } else if (record.eventType == "CDN_PREFER_REQUEST") {
        // One per run of a job; the job on two CDNs names the preferred one first.
        if (value("url").find("data.bin") != std::string::npos) {
          EXPECT_EQ(value("url"), preferredUrl) << "the first URL after reordering";
        }
        EXPECT_EQ(value("response"), "cdn-b.lumo.test");
        EXPECT_EQ(value("success"), "1");
        EXPECT_EQ(value("msg").rfind("HRESULT=", 0), 0u);
      } else if (record.eventType == "RUNNING_EXCEPTION") {
        EXPECT_TRUE(AllDigits(value("errExtCode")));
        EXPECT_FALSE(value("err").empty());
        EXPECT_FALSE(value("exceptionMsg").empty());
        EXPECT_FALSE(value("localIp").empty());
      } else if (record.eventType == "DOWNLOAD_STATISTICS") {
        const std::string size = std::to_string(512 * 1024 + 3);
        EXPECT_NE(value("statistics_msg")
                      .find((downloads / "data.bin").string() + ",total=" + size +
                            ",complete=" + size + ";"),
                  std::string::npos);
      }
    }
  });
}

}  // namespace
}  // namespace lumo::e2e
