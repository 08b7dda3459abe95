#include "machine/machine_identity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace lumo {
namespace {

TEST(UrlHost, FindsTheHostWithOrWithoutPortAndPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://cdn.example.test:8080/path/file.zip", "cdn.example.test"},
      {"http://cdn.example.test:8080", "cdn.example.test"},
      {"https://cdn.example.test/path:with:colons", "cdn.example.test"},
      {"http://cdn.example.test", "cdn.example.test"},
      {"cdn.example.test:81/x", "cdn.example.test"},
      {"//cdn.example.test/x", "cdn.example.test"},
      {"http://", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlHost(c.first), c.second) << c.first;
}

// Look-ups run on a helper thread and a caller waits only within a bound: a slow first answer
// comes from the cache a moment later.
std::string SettledAddressList(const std::string& url) {
  std::string list = CdnAddressList(url);
  for (int i = 0; i < 200 && list.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    list = CdnAddressList(url);
  }
  return list;
}

TEST(CdnAddressList, ResolvesTheUrlHost) {
  EXPECT_EQ(SettledAddressList("http://127.0.0.1:8080/x"), "127.0.0.1");
  const std::string local = SettledAddressList("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.rfind("127.", 0), 0u);
  EXPECT_NE(local.back(), ',');
  EXPECT_EQ(local.find(' '), std::string::npos);
  EXPECT_EQ(CdnAddressList("http://no-such-host.invalid/file"), "");
  EXPECT_EQ(CdnAddressList(""), "");
  EXPECT_TRUE(ResolveIPv4List("").empty());
}

TEST(NewGuidText, LowerCaseGroupsOf8_4_4_4_12AndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    std::string text;
    ASSERT_TRUE(NewGuidText(&text));
    ASSERT_EQ(text.size(), 36u);
    for (size_t at = 0; at < text.size(); ++at) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        EXPECT_EQ(text[at], '-');
      } else {
        EXPECT_TRUE((text[at] >= '0' && text[at] <= '9') || (text[at] >= 'a' && text[at] <= 'f'))
            << text;
      }
    }
    EXPECT_EQ(text[14], '4');
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_FALSE(NewGuidText(nullptr));
}

TEST(MachineCaches, FactsMatchTheSystemAndStayStable) {
  ResetMachineCachesForTest();
  EXPECT_EQ(GetHostName(), platform::QueryHostName());
  EXPECT_EQ(GetMacAddress(), platform::QueryMacAddress());
  const std::string ip = GetLocalIp();
  ASSERT_FALSE(ip.empty());
  const std::vector<std::string> resolved = platform::ResolveIPv4(GetHostName());
  EXPECT_EQ(ip, resolved.empty() ? std::string("127.0.0.1") : resolved.front());
  EXPECT_EQ(GetLocalIp(), ip);
}

TEST(MachineCaches, ConcurrentFirstCallsAgree) {
  ResetMachineCachesForTest();
  std::vector<std::string> answers(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < answers.size(); ++i) {
    threads.emplace_back([&answers, i] { answers[i] = GetLocalIp() + "|" + GetHostName(); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& answer : answers) EXPECT_EQ(answer, answers.front());
}

}  // namespace
}  // namespace lumo
