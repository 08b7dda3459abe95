// Machine identity and the texts telemetry takes from the machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "base/text_conversion.h"
#include "machine/machine_identity.h"
#include "machine/storage_bus.h"
#include "platform/platform.h"

namespace lumo {
namespace {

TEST(UrlHost, FindsTheHostWithOrWithoutPortAndPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://cdn.example.test:8080/path/file.zip", "cdn.example.test"},
      {"https://cdn.example.test/path:with:colons", "cdn.example.test"},
      {"http://cdn.example.test", "cdn.example.test"},
      {"cdn.example.test:81/x", "cdn.example.test"},
      {"//cdn.example.test/x", "cdn.example.test"},
      {"http://", ""},
      {"", ""}};
  for (const auto& [url, host] : cases) EXPECT_EQ(UrlHost(url), host) << url;
}

// Look-ups run on a helper thread and a caller waits only within a bound: a slow first answer
// comes from the cache a moment later.
TEST(CdnAddressList, ResolvesTheUrlHost) {
  const auto settled = [](const std::string& url) {
    std::string list;
    for (int i = 0; i < 200 && (list = CdnAddressList(url)).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return list;
  };
  EXPECT_EQ(settled("http://127.0.0.1:8080/x"), "127.0.0.1");
  const std::string local = settled("localhost");
  EXPECT_TRUE(local.rfind("127.", 0) == 0 && local.back() != ',' &&
              local.find(' ') == std::string::npos)
      << local;
  EXPECT_EQ(CdnAddressList("http://no-such-host.invalid/file") + CdnAddressList(""), "");
}

TEST(NewGuidText, LowerCaseVersion4GroupsAndUnique) {
  const std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (std::string text; seen.size() < 500;)
    ASSERT_TRUE(NewGuidText(&text) && std::regex_match(text, shape) && seen.insert(text).second)
        << "malformed or not unique: " << text;
  EXPECT_FALSE(NewGuidText(nullptr));
}

TEST(MachineCaches, FactsMatchTheSystemAndConcurrentFirstCallsAgree) {
  ResetMachineCachesForTest();
  std::vector<std::string> answers(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < answers.size(); ++i)
    threads.emplace_back([&answers, i] { answers[i] = GetLocalIp() + "|" + GetHostName(); });
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> resolved = platform::ResolveIPv4(platform::QueryHostName());
  const std::string ip = resolved.empty() ? std::string("127.0.0.1") : resolved.front();
  EXPECT_EQ(answers, std::vector<std::string>(8, ip + "|" + platform::QueryHostName()));
  EXPECT_EQ(GetMacAddress(), platform::QueryMacAddress());
}

TEST(MachineTexts, Utf8OfHostTextsAndBusNames) {
  std::string out = "old", none = "old";
  WideToUtf8(static_cast<const WChar*>(nullptr), &none);
  WideToUtf8(WString(u"caf\u00e9 \U0001F600\0cd", 10), &out);
  EXPECT_EQ(none + out, "caf\xc3\xa9 \xf0\x9f\x98\x80") << "stops at the first NUL";
  EXPECT_EQ(std::string(BusTypeName(11)) + BusTypeName(17) + BusTypeName(18) + BusTypeName(127) +
                BusTypeName(0xFFFFFFFFu),
            "BusTypeSataBusTypeMaxBusTypeUnknownBusTypeMaxReservedBusTypeUnknown");
  EXPECT_EQ(GetStorageBusType(nullptr) + "|" + GetStorageBusType(u""), "NULL|Invalid handle");
  const WString here = WideOfUtf8(std::filesystem::current_path().string());
  EXPECT_EQ(GetStorageBusType(here.c_str()).rfind("BusType", 0), 0u);
}

}  // namespace
}  // namespace lumo
