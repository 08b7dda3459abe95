// The preferred CDN domain: the request, the text search for the domain, the reorder and the
// CDN_PREFER_REQUEST event, through a real job run.
#include "source/preferred_domain.h"

#include <gtest/gtest.h>

#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

using Urls = std::vector<std::string>;

// Two CDNs: "localhost" and "127.0.0.1".
const std::string kA1 = "http://127.0.0.1/a/1.bin";
const std::string kB1 = "http://localhost/b/1.bin";
const std::string kA2 = "http://127.0.0.1/a/2.bin";
const std::string kB2 = "http://localhost/b/2.bin";

class PreferredDomainTest : public SourceTest {
 protected:
  // Runs a job whose first attempt succeeds; the URL order the job was left with.
  Urls RunWith(const Urls& urls) {
    engine_.SetDefaultSession(Succeeds());
    DownloadJob job = MakeJob(urls, "f.bin");
    EXPECT_EQ(worker_->RunFile(job).code, 0);
    return job.urls;
  }
  std::string ConfigUrl(const std::string& gameCode) const {
    return SourceEndpoints().cdnConfigUrl + gameCode;
  }
};

TEST(PreferredDomainReorderTest, MatchesComeFirstInReverseOrder) {
  EXPECT_EQ(PreferredDomain::Reorder({"U1-x", "U2", "U3-x", "U4"}, "x"),
            (Urls{"U3-x", "U1-x", "U2", "U4"}));
  EXPECT_EQ(PreferredDomain::Reorder({"a", "b"}, "zzz"), (Urls{"a", "b"}));
  EXPECT_EQ(PreferredDomain::Reorder({"a?cdn=x", "b"}, "cdn=x"), (Urls{"a?cdn=x", "b"}));
  EXPECT_EQ(PreferredDomain::Reorder({"A", "b", "a"}, "a"), (Urls{"a", "A", "b"}));  // case matters
  EXPECT_TRUE(PreferredDomain::Reorder({}, "x").empty());
}

TEST(PreferredDomainSearchTest, TextSearchNotJson) {
  struct Case {
    std::string body;
    PreferredDomain::Match match;
    std::string domain;
  };
  const Case cases[] = {
      {R"({"domain":"cdn.b"})", PreferredDomain::Match::kFound, "cdn.b"},
      {R"({"domain": "cdn.b"})", PreferredDomain::Match::kNone, ""},
      {R"({"domain":"first","x":{"domain":"second"}})", PreferredDomain::Match::kFound, "first"},
      {R"({"subdomain":"sub"})", PreferredDomain::Match::kFound, "sub"},
      {R"({"domain":""})", PreferredDomain::Match::kFound, ""},
      {R"({"domain":"a\"b"})", PreferredDomain::Match::kFound, "a\\"},
      {R"({"Domain":"x"})", PreferredDomain::Match::kNone, ""},
      {R"({"domain":"unterminated)", PreferredDomain::Match::kNone, ""},
      {"", PreferredDomain::Match::kNone, ""},
      {"prefix domain\":\"x\" suffix", PreferredDomain::Match::kFound, "x"},
      {"domain\":\"" + std::string(1024, 'a') + "\"", PreferredDomain::Match::kFound,
       std::string(1024, 'a')},
      // A value far beyond any host name is left alone rather than searched.
      {"domain\":\"" + std::string(1024 * 1024, 'a') + "\"", PreferredDomain::Match::kTooLong, ""},
      {std::string(1024 * 1024, 'd') + "domain\":\"ok\"", PreferredDomain::Match::kFound, "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    std::string domain = "untouched";
    EXPECT_EQ(PreferredDomain::FindDomain(c.body, &domain), c.match);
    EXPECT_EQ(domain, c.match == PreferredDomain::Match::kFound ? c.domain : "untouched");
  }
}

TEST_F(PreferredDomainTest, RequestGoesToTheGameCodeOrGlobal) {
  RunWith({kA1});
  worker_->SetGameCode("g1");
  RunWith({kA1});
  const std::vector<FakeHttpRequestRecord> gets = GetsTo(SourceEndpoints().cdnConfigUrl);
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[0].url.substr(0, ConfigUrl("global").size() + 3), ConfigUrl("global") + "?t=");
  EXPECT_EQ(gets[1].url.substr(0, ConfigUrl("g1").size() + 3), ConfigUrl("g1") + "?t=");
}

TEST_F(PreferredDomainTest, PreferredCdnMovesToTheFrontAndIsTriedFirst) {
  SetCdnAnswer(Answer(200, R"({"code":0,"data":{"domain":"localhost"}})"));
  worker_->SetSid("s1");
  const Urls order = RunWith({kA1, kB1, kA2, kB2});
  EXPECT_EQ(order, (Urls{kB2, kB1, kA1, kA2}));
  EXPECT_EQ(CreatedUrls(), (Urls{kB2}));

  const std::vector<Form> events = SentEvents(kEventCdnPreferRequest);
  ASSERT_EQ(events.size(), 1u);
  Form event = events[0];
  EXPECT_EQ(event["url"], kB2);
  EXPECT_EQ(event["response"], "localhost");
  EXPECT_EQ(event["success"], "1");
  EXPECT_EQ(event["msg"], "HRESULT=" + platform::SystemErrorText(0));
  EXPECT_EQ(event["sid"], "s1");
  EXPECT_EQ(event.count("currentTime"), 1u);
}

TEST_F(PreferredDomainTest, NoUsableDomainKeepsTheOrder) {
  struct Case {
    FakeHttpAnswer answer;
    const char* gotLine;  // the "Got preferred domain" line, or null
    const char* success;
  };
  const Case cases[] = {
      {Answer(200, R"({"domain": "localhost"})"), nullptr, "1"},
      {Answer(200, R"({"domain":""})"), "INFO - Got preferred domain  from ", "1"},
      {Answer(200, R"({"domain":"nowhere.example"})"),
       "INFO - Got preferred domain nowhere.example from ", "1"},
      {Answer(404, R"({"domain":"localhost"})"), nullptr, "0"},
      {Answer(200, ""), nullptr, "0"},
      // Past 64 KiB no configuration: its domain is not taken.
      {Answer(200, R"({"domain":"localhost"})" + std::string(64 * 1024, ' ')), nullptr, "0"},
  };
  size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.body.substr(0, 40) + " " + std::to_string(c.answer.status));
    SetCdnAnswer(c.answer);
    EXPECT_EQ(RunWith({kA1, kB1}), (Urls{kA1, kB1}));

    const std::vector<Form> events = SentEvents(kEventCdnPreferRequest);
    ASSERT_EQ(events.size(), ++sent);
    Form event = events.back();
    EXPECT_EQ(event["url"], kA1);
    EXPECT_EQ(event["success"], c.success);
    const std::string domain = c.gotLine ? c.answer.body.substr(11, c.answer.body.size() - 13) : "";
    EXPECT_EQ(event.count("response"), domain.empty() ? 0u : 1u);
    if (!domain.empty()) {
      EXPECT_EQ(event["response"], domain);
    }
    EXPECT_EQ(event["msg"],
              "HRESULT=" + platform::SystemErrorText(c.success[0] == '1' ? 0 : kZdlFail));
  }
}

}  // namespace
}  // namespace testing
}  // namespace lumo
