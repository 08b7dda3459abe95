// Downloads through the built module and engine (the end-to-end build, intervals divided).
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "e2e_support.h"

namespace lumo::e2e {
namespace {

using services::LocalServices;

constexpr uint32_t kIdle = 2;

struct Scene {
  fs::path files;
  fs::path downloads;
  std::unique_ptr<LocalServices> services;
  std::string base;  // http://127.0.0.1:<port>
};

Scene MakeScene(services::ServicesConfig* adjust = nullptr) {
  Scene scene;
  scene.files = ScenarioDir() / "files";
  scene.downloads = ScenarioDir() / "downloads";
  fs::create_directories(scene.files);
  fs::create_directories(scene.downloads);
  scene.services = StartServices(scene.files, adjust);
  if (scene.services) scene.base = scene.services->Url();
  return scene;
}

bool FinishedAll(HostedModule& module) {
  return module.PollUntil([&] { return module.RunState() == kIdle; }, kJobBound);
}

TEST(DownloadE2E, ChecksumVerifiedFirstAndPreferredDomainFirst) {
  RunInChild([] {
    services::ServicesConfig config;
    config.preferredDomains["g1"] = "cdn-b.lumo.test";
    Scene scene = MakeScene(&config);
    ASSERT_TRUE(scene.services);
    WriteRandomFile(scene.files / "data.bin", 3 * 1024 * 1024 + 17, 1);
    std::ofstream(scene.files / "sums.md5") << ManifestLine(scene.files / "data.bin");
    const std::string manifestMd5 = Md5Hex(ReadFile(scene.files / "sums.md5"));

    HostedModule module(LUMO_E2E_BIN_DIR);
    ASSERT_TRUE(module.ok());
    module.SetText(kLumoOptionGameCode, "g1");
    ASSERT_EQ(
        module.Add({scene.base + "/m/cdn-a.lumo.test/data.bin",
                    scene.base + "/m/cdn-b.lumo.test/data.bin"},
                   scene.downloads, "", {scene.base + "/m/cdn-b.lumo.test/sums.md5"}, manifestMd5),
        0);
    ASSERT_EQ(module->Start(), 0);
    ASSERT_TRUE(FinishedAll(module));

    EXPECT_TRUE(SameFiles(scene.downloads / "data.bin", scene.files / "data.bin"));
    EXPECT_EQ(module.Completed(),
              std::vector<std::string>{(scene.downloads / "data.bin").string()});
    const DownloadStatus status = module.Status();
    EXPECT_EQ(status.words[kLumoWordRecordCount], 1u);
    EXPECT_EQ(status.words[kLumoWordUnfinishedCount], 0u);
    EXPECT_EQ(status.words[kLumoWordOverallState], 0u);

    EXPECT_EQ(scene.services->CdnRequests(), std::vector<std::string>{"g1"});
    // The checksum file first, then the data from the preferred CDN only.
    const auto requests = scene.services->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().path, "/m/cdn-b.lumo.test/sums.md5");
    EXPECT_TRUE(scene.services->Requests("/cdn-a.lumo.test/data.bin").empty());
    EXPECT_EQ(scene.services->Requests("/cdn-b.lumo.test/data.bin").size(), 1u);
  });
}

}  // namespace
}  // namespace lumo::e2e
