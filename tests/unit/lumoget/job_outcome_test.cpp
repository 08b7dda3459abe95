#include "job_outcome.h"

#include <gtest/gtest.h>

namespace lumoget {
namespace {

TEST(CompletedListTest, SplitsOnSemicolonsAndSkipsEmptyParts) {
  EXPECT_EQ(SplitCompleted(""), std::vector<std::string>{});
  EXPECT_EQ(SplitCompleted("/a/x;/b/y"), (std::vector<std::string>{"/a/x", "/b/y"}));
  EXPECT_EQ(SplitCompleted(";/a/x;"), (std::vector<std::string>{"/a/x"}));
}

TEST(OutcomeTest, TellsEachStateAndTheModulesReason) {
  struct Case {
    uint32_t state;
    const char* message;
    bool completed;
    const char* shown;
  };
  const Case cases[] = {
      {kLumoFileDone, "", true, ""},
      {kLumoFileFailed, "Failed to download file, File not found in server.", false,
       "File not found in server."},
      {kLumoFileFailed, "Illegal checksum file", false, "Illegal checksum file"},
      {kLumoFileFailed, "", false, "failed"},
      {kLumoFileRunning, "", false, "not finished"},
      {kLumoFileQueued, "", false, "not finished"},
  };
  for (const Case& c : cases) {
    LumoFileResult result{};
    result.state = c.state;
    result.attempts = 3;
    const JobOutcome outcome = OutcomeOf("/save/a.bin", result, c.message);
    EXPECT_EQ(outcome.completed, c.completed) << c.state;
    EXPECT_EQ(outcome.message, c.shown) << c.state;
    EXPECT_EQ(outcome.attempts, 3u);
  }
}

}  // namespace
}  // namespace lumoget
