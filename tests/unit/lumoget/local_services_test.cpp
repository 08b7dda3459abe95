#include "local_services.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>

#include "form_body.h"

namespace lumo::services {
namespace {

namespace fs = std::filesystem;

class LocalServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) /
            ("services_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "dir");
    for (int i = 0; i < 100000; ++i) content_ += static_cast<char>('a' + i % 26);
    std::ofstream(root_ / "dir" / "file.bin", std::ios::binary) << content_;

    ServicesConfig config;  // every role on one port of the system's choosing
    config.filesRoot = root_.string();
    config.cdnHost = "cdn.example.test";
    config.preferredDomains["g1"] = "fast.example.test";
    config.telemetryDir = (root_ / "telemetry").string();
    fs::create_directories(config.telemetryDir);
    services_ = std::make_unique<LocalServices>(config);
    std::string error;
    ASSERT_TRUE(services_->Start(&error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", services_->filesPort());
  }

  httplib::Result Get(const std::string& path, httplib::Headers headers = {}) {
    return client_->Get(path.c_str(), headers);
  }

  fs::path root_;
  std::string content_;
  std::unique_ptr<LocalServices> services_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(LocalServicesTest, ServesWholeFilesAndRangesBehindMirrorAndCdnHostPrefixes) {
  auto whole = Get("/m/mirror-a/dir/file.bin");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, content_);
  EXPECT_EQ(whole->get_header_value("Accept-Ranges"), "bytes");

  auto part = Get("/cdn.example.test:8080/dir/file.bin", {{"Range", "bytes=99990-"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->body, content_.substr(99990));
  EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 99990-99999/100000");

  auto suffix = Get("/dir/file.bin", {{"Range", "bytes=-5"}});
  ASSERT_TRUE(suffix);
  EXPECT_EQ(suffix->body, content_.substr(99995));

  // The server counts a chunk after handing it over: wait for the count to catch up.
  EXPECT_TRUE(services_->WaitFor(
      [&] { return services_->BytesServed("/file.bin") == 100000u + 10u + 5u; },
      std::chrono::seconds(5)))
      << services_->BytesServed("/file.bin");
  EXPECT_EQ(services_->RequestCount("/file.bin"), 3u);
}

TEST_F(LocalServicesTest, ChangedValidatorOrBadRangeAnswersAsAServerMust) {
  auto first = Get("/dir/file.bin");
  ASSERT_TRUE(first);
  const std::string etag = first->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());

  auto same = Get("/dir/file.bin", {{"Range", "bytes=10-19"}, {"If-Range", etag}});
  ASSERT_TRUE(same);
  EXPECT_EQ(same->status, 206);
  EXPECT_EQ(same->body, content_.substr(10, 10));

  auto changed = Get("/dir/file.bin", {{"Range", "bytes=10-19"}, {"If-Range", "\"old\""}});
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->status, 200);
  EXPECT_EQ(changed->body.size(), content_.size());

  auto beyond = Get("/dir/file.bin", {{"Range", "bytes=100000-"}});
  ASSERT_TRUE(beyond);
  EXPECT_EQ(beyond->status, 416);
  EXPECT_EQ(beyond->get_header_value("Content-Range"), "bytes */100000");

  auto escape = Get("/m/x/../../etc/passwd");
  ASSERT_TRUE(escape);
  EXPECT_NE(escape->status, 200);
  auto missing = Get("/dir/none.bin");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(LocalServicesTest, FaultsApplyAsManyTimesAsAsked) {
  auto failed = Get("/fault/status=503,times=2/dir/file.bin");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 503);
  EXPECT_EQ(Get("/fault/status=503,times=2/dir/file.bin")->status, 503);
  EXPECT_EQ(Get("/fault/status=503,times=2/dir/file.bin")->status, 200);

  // A dropped connection leaves the client with a short or failed answer, never the whole file.
  auto dropped = Get("/fault/drop-after=1000,once/dir/file.bin");
  EXPECT_TRUE(!dropped || dropped->body.size() < content_.size());
  auto again = Get("/fault/drop-after=1000,once/dir/file.bin");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, content_);

  EXPECT_EQ(Get("/fault/bogus=1/dir/file.bin")->status, 400);
}

TEST_F(LocalServicesTest, PlaysTheCdnConfigurationAndHttpDns) {
  auto preferred = Get("/cdn-domain/g1?t=20240501123456789");
  ASSERT_TRUE(preferred);
  EXPECT_NE(preferred->body.find("\"domain\":\"fast.example.test\""), std::string::npos)
      << preferred->body;
  auto other = Get("/cdn-domain/global?t=1");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->body.find("domain\":"), std::string::npos) << other->body;
  services_->SetPreferredDomain("*", "any.example.test");
  EXPECT_NE(Get("/cdn-domain/global")->body.find("\"domain\":\"any.example.test\""),
            std::string::npos);
  EXPECT_EQ(services_->CdnRequests(), (std::vector<std::string>{"g1", "global", "global"}));

  auto dns = Get("/?ws_domain=cdn.example.test&t=20240501123456789");
  ASSERT_TRUE(dns);
  EXPECT_EQ(dns->body, "127.0.0.1:" + std::to_string(services_->filesPort()) + " 60\n");
  auto unknown = Get("/?ws_domain=elsewhere.test");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->body, "");
}

TEST_F(LocalServicesTest, CollectorKeepsAndWritesEveryBody) {
  // Larger than the 8 KiB a plain form handler of the HTTP library accepts.
  const std::string body = "eventType=MODULE_VERSION&sid=a%20b&statistics_msg=" +
                           std::string(20000, 'x');
  auto posted = client_->Post("/post", body, "application/x-www-form-urlencoded;charset=utf-8");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200);
  ASSERT_TRUE(services_->WaitFor([&] { return services_->Telemetry().size() == 1; },
                                 std::chrono::seconds(5)));
  EXPECT_EQ(services_->Telemetry()[0].eventType, "MODULE_VERSION");
  EXPECT_EQ(services_->Telemetry()[0].body, body);
  std::ifstream written(root_ / "telemetry" / "0001-MODULE_VERSION.form", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, body);
  EXPECT_EQ(services_->TelemetryCountByType().at("MODULE_VERSION"), 1);
}

TEST(FormBodyTest, DecodesAndEncodesByTheModulesRules) {
  FormPairs pairs;
  ASSERT_TRUE(ParseForm("a=x%20y%2Fz&b=%C3%A9&c=-_.~", pairs));
  EXPECT_EQ(FormValue(pairs, "a"), "x y/z");
  EXPECT_EQ(FormValue(pairs, "b"), "\xC3\xA9");
  EXPECT_EQ(FormValue(pairs, "missing"), "");
  EXPECT_EQ(EncodeForm(pairs), "a=x%20y%2Fz&b=%C3%A9&c=-_.~");
  EXPECT_EQ(PercentEncode("2024-05-01T12:34:56+08:00"), "2024-05-01T12%3A34%3A56%2B08%3A00");
  EXPECT_EQ(EncodeForm({{"a", ""}, {"", "x"}, {"b", "1"}}), "b=1");
  EXPECT_FALSE(ParseForm("a=%2", pairs));
  EXPECT_FALSE(ParseForm("a=%zz", pairs));
  EXPECT_FALSE(ParseForm("novalue", pairs));
  EXPECT_TRUE(ParseForm("", pairs));
  EXPECT_TRUE(pairs.empty());
}

TEST(HttpUrlTest, SplitsTheModulesEndpoints) {
  HttpEndpoint endpoint;
  ASSERT_TRUE(ParseHttpUrl("http://127.0.0.1:6017/?ws_domain=", endpoint));
  EXPECT_EQ(endpoint.host, "127.0.0.1");
  EXPECT_EQ(endpoint.port, 6017);
  EXPECT_EQ(endpoint.path, "/");
  EXPECT_EQ(endpoint.query, "ws_domain=");
  ASSERT_TRUE(ParseHttpUrl("http://report.example/post", endpoint));
  EXPECT_EQ(endpoint.port, 80);
  EXPECT_FALSE(ParseHttpUrl("https://x/post", endpoint));
  EXPECT_FALSE(ParseHttpUrl("http://x:99999/", endpoint));
}

}  // namespace
}  // namespace lumo::services
