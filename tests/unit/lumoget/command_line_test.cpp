#include "command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/scratch.h"

namespace lumoget {
namespace {

CommandLine Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "lumoget");
  return ParseCommandLine(arguments);
}

const char kMd5[] = "0123456789abcdefABCDEF0123456789";

TEST(CommandLineTest, MirrorsOfOneFileFormOneJobWithItsSettings) {
  std::vector<std::string> arguments;
  std::istringstream words(std::string("-d out -o game.pak --checksum-url http://a/sum.md5 ") +
                           "--checksum-url http://b/sum.md5 --checksum-md5 " + kMd5 +
                           " --sid s1 --game g7 --client-version 2.0 --max-speed 2M "
                           "http://a/game.pak https://b/game.pak");
  for (std::string word; words >> word;) arguments.push_back(word);
  const CommandLine line = Parse(arguments);
  ASSERT_EQ(line.exitCode, -1) << line.err;
  ASSERT_EQ(line.settings.jobs.size(), 1u);
  const JobSpec& job = line.settings.jobs[0];
  EXPECT_EQ(job.urls, (std::vector<std::string>{"http://a/game.pak", "https://b/game.pak"}));
  EXPECT_EQ(job.dir, "out");
  EXPECT_EQ(job.name, "game.pak");
  EXPECT_EQ(job.checksumUrls, (std::vector<std::string>{"http://a/sum.md5", "http://b/sum.md5"}));
  EXPECT_EQ(job.checksumMd5, kMd5);
  EXPECT_EQ(line.settings.sid, "s1");
  EXPECT_EQ(line.settings.game, "g7");
  EXPECT_EQ(line.settings.clientVersion, "2.0");
  EXPECT_TRUE(line.settings.maxSpeedSet);
  EXPECT_EQ(line.settings.maxSpeed, 2u * 1024 * 1024);
}

TEST(CommandLineTest, MistakesAreUsageErrorsWithAReason) {
  struct Case {
    std::vector<std::string> arguments;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{}, "no URLs"},
      {{"ftp://a/f"}, "not an http"},
      {{"--checksum-url", "http://a/s.md5", "http://a/f"}, "go together"},
      {{"--checksum-md5", kMd5, "http://a/f"}, "go together"},
      {{"--checksum-url", "http://a/s.md5", "--checksum-md5", "abc", "http://a/f"},
       "32 hexadecimal"},
      {{"-o", "dir/name", "http://a/f"}, "directory"},
      {{"-o", "name"}, "describe the URLs"},
      {{"--max-speed", "5G", "http://a/f"}, "at most"},
      {{"-i", "/nonexistent/jobs.txt"}, "cannot read"},
  };
  for (const auto& c : cases) {
    const CommandLine line = Parse(c.arguments);
    EXPECT_EQ(line.exitCode, 2) << c.reason;
    EXPECT_NE(line.err.find(c.reason), std::string::npos) << line.err;
  }
  EXPECT_EQ(Parse({"--no-such-option", "http://a/f"}).exitCode, 2);
  const CommandLine plain = Parse({"http://a/f"});
  EXPECT_EQ(plain.exitCode, -1);
  EXPECT_FALSE(plain.settings.maxSpeedSet) << "no speed limit unless asked";
}

TEST(CommandLineTest, HelpAndVersionExitWithZero) {
  const CommandLine help = Parse({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--checksum-md5"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status"), std::string::npos);
  const CommandLine version = Parse({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("lumoget ", 0), 0u) << version.out;
}

TEST(InputFileTest, OneJobALineWithOptionsCommentsAndWindowsLineEnds) {
  std::istringstream in(
      "# comment\r\n"
      "\r\n"
      "http://a/one.bin http://b/one.bin\r\n"
      "   http://a/two.bin dir=other out=2.bin checksum-url=http://a/s.md5 "
      "checksum-url=http://b/s.md5 checksum-md5=0123456789abcdef0123456789abcdef\n"
      "   # indented comment\n");
  std::vector<JobSpec> jobs;
  std::string error;
  ASSERT_TRUE(ParseInputFile(in, "base", jobs, error)) << error;
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].urls, (std::vector<std::string>{"http://a/one.bin", "http://b/one.bin"}));
  EXPECT_EQ(jobs[0].dir, "base");
  EXPECT_EQ(jobs[0].name, "");
  EXPECT_EQ(jobs[1].urls, (std::vector<std::string>{"http://a/two.bin"}));
  EXPECT_EQ(jobs[1].dir, "other");
  EXPECT_EQ(jobs[1].name, "2.bin");
  EXPECT_EQ(jobs[1].checksumUrls.size(), 2u);
  EXPECT_EQ(jobs[1].checksumMd5, "0123456789abcdef0123456789abcdef");
}

TEST(InputFileTest, ABadLineIsNamedByNumber) {
  std::istringstream in("http://a/ok\n\nout=x.bin\n");
  std::vector<JobSpec> jobs;
  std::string error;
  EXPECT_FALSE(ParseInputFile(in, "", jobs, error));
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(CommandLineTest, InputFileJobsFollowTheCommandLineJobAndShareItsDirectory) {
  const std::string path = (lumo::testing::TestDir() / "jobs.txt").string();
  {
    std::ofstream out(path);
    out << "http://a/from-file.bin\n";
  }
  const CommandLine line = Parse({"-d", "saved", "-i", path, "http://a/first.bin"});
  ASSERT_EQ(line.exitCode, -1) << line.err;
  ASSERT_EQ(line.settings.jobs.size(), 2u);
  EXPECT_EQ(line.settings.jobs[0].urls[0], "http://a/first.bin");
  EXPECT_EQ(line.settings.jobs[1].urls[0], "http://a/from-file.bin");
  EXPECT_EQ(line.settings.jobs[1].dir, "saved");
}

}  // namespace
}  // namespace lumoget
