// One pass over every path a job may take (checksum file first, the preferred CDN's mirror only,
// a host resolved by HTTP DNS, a missing file) and the telemetry the collector receives of it:
// every event type, encoded by the form rules (sorted keys, unreserved bytes kept, %XX else).
#include <algorithm>
#include <fstream>
#include <regex>

#include "e2e_support.h"
#include "form_body.h"

namespace lumo::e2e {
namespace {

using services::FormPairs;
using services::FormValue;

// Text the host sets: a space, a slash, a plus and a two-byte UTF-8 letter all need escaping.
const char kSid[] = "e2e sid/1+\xC3\xBC";
const char kSidOnTheWire[] = "sid=e2e%20sid%2F1%2B%C3%BC";
const char kGame[] = "g1";
const char kClientVersion[] = "1.0.0-e2e";

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
  EXPECT_EQ(FormValue(pairs, "eventType"), type);
  EXPECT_TRUE(std::regex_match(FormValue(pairs, "currentTime"),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
      << FormValue(pairs, "currentTime");
  EXPECT_EQ(FormValue(pairs, "sid"), kSid);
  EXPECT_NE(body.find(kSidOnTheWire), std::string::npos);
  EXPECT_EQ(FormValue(pairs, "gameCode"), kGame);
}

TEST(DownloadE2E, EveryPathOfAJobAndEveryEventTypeTheCollectorGets) {
  RunInChild([] {
    services::ServicesConfig config;
    config.preferredDomains[kGame] = "cdn-b.lumo.test";
    Scene scene(&config);
    ASSERT_TRUE(scene.services);
    const fs::path& files = scene.files;
    const fs::path& downloads = scene.downloads;
    auto& services = scene.services;
    const std::string& base = scene.base;
    LUMO_E2E_NEED_PORT_80(*services);
    WriteRandomFile(files / "data.bin", 512 * 1024 + 3, 11);
    WriteRandomFile(files / "game" / "patch.bin", 256 * 1024, 12);
    std::ofstream(files / "sums.md5") << ManifestLine(files / "data.bin");

    HostedModule module;
    ASSERT_TRUE(module.ok());
    module.SetText(kLumoOptionSid, kSid);
    module.SetText(kLumoOptionGameCode, kGame);
    module.SetText(kLumoOptionClientVersion, kClientVersion);
        ASSERT_EQ(module.Add({base + "/m/cdn-a.lumo.test/data.bin", base + "/m/cdn-b.lumo.test/data.bin"},
                         downloads, "",
                         {base + "/sums.md5"}, Md5Hex(ReadFile(files / "sums.md5"))),
              0);
    ASSERT_EQ(
        module.Add({std::string("http://") + LUMO_E2E_CDN_HOST + "/game/patch.bin"}, downloads), 0);
    ASSERT_EQ(module.Add({base + "/fault/status=404/missing.bin"}, downloads), 0);
    ASSERT_EQ(module->Start(), 0);
    ASSERT_TRUE(
        module.PollUntil([&] { return module.RunState() == kLumoRunStateIdle; }, kJobBound));
    ASSERT_EQ(module->SampleStatistics(), 0);
    EXPECT_TRUE(SameFiles(downloads / "data.bin", files / "data.bin"));
    EXPECT_TRUE(SameFiles(downloads / "patch.bin", files / "game" / "patch.bin"));
    EXPECT_EQ(module.Completed().size(), 2u);
    ASSERT_FALSE(services->CdnRequests().empty());
    EXPECT_EQ(services->CdnRequests().front(), kGame);
    const auto requests = services->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().path, "/sums.md5") << "the checksum file before any data";
    EXPECT_TRUE(services->Requests("/cdn-a.lumo.test/data.bin").empty());
    EXPECT_EQ(services->Requests("/cdn-b.lumo.test/data.bin").size(), 1u);

    const std::vector<std::string> types = {
        "MODULE_VERSION",     "FILE_DOWNLOAD",     "FILE_DOWNLOAD_DNS",  "DNS_REQUEST",
        "CDN_PREFER_REQUEST", "RUNNING_EXCEPTION", "DOWNLOAD_STATISTICS"};
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

    for (const auto& record : services->Telemetry())
      CheckCommonRules(record.eventType, record.body);
  });
}

}  // namespace
}  // namespace lumo::e2e
