// Lifecycle with the product's own timing (this build's libraries, intervals not divided).
// Teardown at every stage is the host-input matrix's (tests/integration/host_input).
#include <fstream>

#include "e2e_support.h"
#include "host_platform.h"

namespace lumo::e2e {
namespace {

TEST(LifecycleE2E, ATransferStoppedByTheHostIsNoFailure) {
  RunInChild([] {
    const fs::path files = ScenarioDir() / "files";
    const fs::path downloads = ScenarioDir() / "downloads";
    fs::create_directories(downloads);
    WriteRandomFile(files / "large.bin", 32 * 1024 * 1024, 22);
    auto services = StartServices(files);
    ASSERT_TRUE(services);
    // The module logs beside the folder of its host, this program.
    const fs::path log = fs::path(lumoget::ExecutableDir()).parent_path() / "lumodownload.log";
    std::error_code error;
    const auto logStart = fs::exists(log) ? fs::file_size(log, error) : 0;

    HostedModule module(LUMO_E2E_PRODUCT_BIN_DIR);
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.Add({services->Url("/fault/rate=4000000/large.bin")}, downloads), 0);
    ASSERT_EQ(module->Start(), 0);
    ASSERT_TRUE(services->WaitFor(
        [&] {
          const auto requests = services->Requests("/large.bin");
          return !requests.empty() && requests[0].bytesSent > 0;
        },
        std::chrono::seconds(30)));
    module.Shutdown();

    // Stop is the host's wish, not a failure: no ERROR line (and so no failure report). Other
    // test programs of this folder share the log, so only lines naming this server count.
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(logStart));
    std::string line;
    int ours = 0;
    while (std::getline(in, line)) {
      if (line.find(services->Url()) == std::string::npos) continue;
      ++ours;
      EXPECT_EQ(line.find(" ERROR - "), std::string::npos) << line;
    }
    EXPECT_GT(ours, 0) << "no log lines from this run in " << log;
  });
}

}  // namespace
}  // namespace lumo::e2e
