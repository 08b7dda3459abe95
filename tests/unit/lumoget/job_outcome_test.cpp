#include "job_outcome.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lumoget {
namespace {

JobSpec Job(const std::string& url, const std::string& name = "") {
  JobSpec job;
  job.urls = {url};
  job.name = name;
  return job;
}

TEST(LogDigestTest, FailuresBelongToTheFileStartedLast) {
  std::istringstream log(
      "2024-05-01T12:00:00 INFO - Start to download a.bin\r\n"
      "2024-05-01T12:00:00 INFO - Start to download file from http://h/a.bin.\r\n"
      "2024-05-01T12:00:01 ERROR - Download file failed from http://h/a.bin, Network error,6\r\n"
      "2024-05-01T12:00:02 ERROR - Download file failed from http://g/a.bin, File not found in "
      "server.,0\r\n"
      "2024-05-01T12:00:02 ERROR - Failed to download file, File not found in server.\r\n"
      "2024-05-01T12:00:03 INFO - Start to download b.bin\r\n"
      "2024-05-01T12:00:04 INFO - Download file success from http://h/b.bin.\r\n"
      "garbage without separator\r\n");
  const LogDigest digest = DigestLog(log);
  ASSERT_EQ(digest.failure.count("a.bin"), 1u);
  EXPECT_EQ(digest.failure.at("a.bin"), "File not found in server.");
  EXPECT_EQ(digest.lastAttempt.at("a.bin"),
            "Download file failed from http://g/a.bin, File not found in server.,0");
  EXPECT_EQ(digest.failure.count("b.bin"), 0u);
}

TEST(CompletedListTest, SplitsOnSemicolonsAndSkipsEmptyParts) {
  EXPECT_EQ(SplitCompleted(""), std::vector<std::string>{});
  EXPECT_EQ(SplitCompleted("/a/x;/b/y"), (std::vector<std::string>{"/a/x", "/b/y"}));
  EXPECT_EQ(SplitCompleted(";/a/x;"), (std::vector<std::string>{"/a/x"}));
}

TEST(JudgeJobsTest, MatchesCompletedPathsWhateverTheSeparator) {
  const std::vector<JobSpec> jobs = {Job("http://h/dir/a.bin?x=1"), Job("http://h/b", "b.pak"),
                                     Job("http://h/c.bin"), Job("http://h/d.bin")};
  const std::vector<std::string> dirs = {"C:\\games\\dl", "/save/", "/save", "/save"};
  std::istringstream log("2024-05-01T12:00:00 INFO - Start to download c.bin\n"
                         "2024-05-01T12:00:02 ERROR - Failed to download file, Network error\n");
  const auto outcomes = JudgeJobs(jobs, dirs, {"C:/games/dl/a.bin", "/save/b.pak"},
                                  DigestLog(log), '\\');
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_TRUE(outcomes[0].completed);
  EXPECT_EQ(outcomes[0].path, "C:\\games\\dl\\a.bin");
  EXPECT_TRUE(outcomes[1].completed);
  EXPECT_EQ(outcomes[1].path, "/save/b.pak");
  EXPECT_FALSE(outcomes[2].completed);
  EXPECT_EQ(outcomes[2].message, "Network error");
  EXPECT_FALSE(outcomes[3].completed);
  EXPECT_EQ(outcomes[3].message, "not finished");
}

}  // namespace
}  // namespace lumoget
