// lumoget as a user runs it: exit codes, the outcome it prints, Ctrl-C and the next run.
#include <signal.h>

#include "e2e_support.h"

namespace lumo::e2e {
namespace {

const std::string kLumoget = std::string(LUMO_E2E_BIN_DIR) + "/lumoget";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(LumogetE2E, ExitsZeroOnlyWhenEveryFileArrivedAndNamesTheFailures) {
  RunInChild([] {
    Scene scene;
    ASSERT_TRUE(scene.services);
    const fs::path &files = scene.files, &downloads = scene.downloads;
    const std::string& base = scene.base;
    WriteRandomFile(files / "one.bin", 300 * 1024, 31);
    const fs::path output = ScenarioDir() / "lumoget.txt";

    // Mirrors on the command line, with a first mirror that fails.
    int status = WaitExit(Spawn({kLumoget, "-d", downloads.string(), "--sid", "e2e",
                                 base + "/fault/status=503/m/a/one.bin", base + "/m/b/one.bin"},
                                output));
    std::string text = ReadFile(output);
    EXPECT_EQ(status, 0) << text;
    EXPECT_TRUE(SameFiles(downloads / "one.bin", files / "one.bin"));
    EXPECT_TRUE(Contains(text, "Completed files (1):\n  " + (downloads / "one.bin").string()))
        << text;
    EXPECT_TRUE(Contains(text, "lumoget: finished")) << "plain lines when not on a terminal";

    status = WaitExit(Spawn({kLumoget, "ftp://example/x"}, output));
    EXPECT_EQ(status, 2) << ReadFile(output);
  });
}

TEST(LumogetE2E, CtrlCStopsCleanlyAndTheNextRunResumes) {
  RunInChild([] {
    Scene scene;
    ASSERT_TRUE(scene.services);
    const fs::path &files = scene.files, &downloads = scene.downloads;
    auto& services = scene.services;
    WriteRandomFile(files / "movie.bin", 6 * 1024 * 1024, 33);
    const std::string url = services->Url("/fault/rate=1500000/movie.bin");
    const fs::path output = ScenarioDir() / "lumoget.txt";

    const int pid = Spawn({kLumoget, "-d", downloads.string(), url}, output);
    ASSERT_TRUE(services->WaitFor(
        [&] {
          const auto requests = services->Requests("/movie.bin");
          return !requests.empty() && requests[0].bytesSent > 1024 * 1024;
        },
        std::chrono::seconds(30)));
    kill(pid, SIGINT);
    const int status = WaitExit(pid);
    const std::string text = ReadFile(output);
    EXPECT_EQ(status, 130) << text;
    EXPECT_TRUE(Contains(text, "Interrupted")) << text;
    EXPECT_TRUE(Contains(text, "stopping")) << text;
    EXPECT_FALSE(fs::exists(downloads / "movie.bin"));
    const size_t first = services->Requests("/movie.bin").size();
    ASSERT_GE(first, 1u);

    const int again = WaitExit(Spawn({kLumoget, "-d", downloads.string(), url}, output));
    EXPECT_EQ(again, 0) << ReadFile(output);
    EXPECT_TRUE(SameFiles(downloads / "movie.bin", files / "movie.bin"));
    const auto requests = services->Requests("/movie.bin");
    ASSERT_GT(requests.size(), first);
    for (size_t i = first; i < requests.size(); ++i) {
      EXPECT_GT(requests[i].RangeStart(), 0) << "the next run resumes the partial file";
    }
  });
}

}  // namespace
}  // namespace lumo::e2e
