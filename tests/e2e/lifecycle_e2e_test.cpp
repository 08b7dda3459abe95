// Lifecycle with the product's own timing (this build's libraries, intervals not divided).
#include "e2e_support.h"

namespace lumo::e2e {
namespace {

TEST(LifecycleE2E, StopAndReleaseDuringATransferReturnPromptly) {
  RunInChild([] {
    const fs::path files = ScenarioDir() / "files";
    const fs::path downloads = ScenarioDir() / "downloads";
    fs::create_directories(downloads);
    const uint64_t size = 64 * 1024 * 1024;
    WriteRandomFile(files / "large.bin", size, 21);
    auto services = StartServices(files);
    ASSERT_TRUE(services);

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

    // Releasing without a thread that could end would wait out the 5 s bound; after Stop the
    // worker ends at its next poll.
    const auto took = module.Shutdown();
    EXPECT_LT(took.count(), 4500) << "Stop, Release and mod_lumoterm took " << took.count()
                                  << " ms";
    EXPECT_TRUE(services->WaitFor([&] { return services->Requests("/large.bin")[0].done; },
                                  std::chrono::seconds(10)))
        << "the transfer goes on after the module was released";
    EXPECT_LT(services->Requests("/large.bin")[0].bytesSent, size);
    EXPECT_FALSE(fs::exists(downloads / "large.bin"));
  });
}

}  // namespace
}  // namespace lumo::e2e
