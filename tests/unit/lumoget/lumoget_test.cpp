// The host program's own logic: its command line, input file, outcomes and progress display.
#include <gtest/gtest.h>

#include <sstream>

#include "command_line.h"
#include "job_outcome.h"
#include "progress_display.h"
#include "support/scratch.h"

namespace lumoget {
namespace {

CommandLine Parse(const std::string& words) {
  std::vector<std::string> arguments = {"lumoget"};
  std::istringstream in(words);
  for (std::string word; in >> word;) arguments.push_back(word);
  return ParseCommandLine(arguments);
}

const char kMd5[] = "0123456789abcdefABCDEF0123456789";

TEST(CommandLine, MirrorsOfOneFileFormOneJobWithItsSettings) {
  const CommandLine line =
      Parse(std::string("-d out -o game.pak --checksum-url http://a/sum.md5 --checksum-url "
                        "http://b/sum.md5 --checksum-md5 ") +
            kMd5 +
            " --sid s1 --game g7 --client-version 2.0 --max-speed 2M http://a/game.pak "
            "https://b/game.pak");
  ASSERT_EQ(line.exitCode, -1) << line.err;
  ASSERT_EQ(line.settings.jobs.size(), 1u);
  const JobSpec& job = line.settings.jobs[0];
  EXPECT_EQ(job.urls, (std::vector<std::string>{"http://a/game.pak", "https://b/game.pak"}));
  EXPECT_EQ(job.dir + "|" + job.name + "|" + job.checksumMd5, std::string("out|game.pak|") + kMd5);
  EXPECT_EQ(job.checksumUrls, (std::vector<std::string>{"http://a/sum.md5", "http://b/sum.md5"}));
  const Settings& s = line.settings;
  EXPECT_EQ(s.sid + "|" + s.game + "|" + s.clientVersion, "s1|g7|2.0");
  EXPECT_TRUE(s.maxSpeedSet);
  EXPECT_EQ(s.maxSpeed, 2u * 1024 * 1024);
  EXPECT_FALSE(Parse("http://a/f").settings.maxSpeedSet) << "no speed limit unless asked";
}

// Help and version exit with 0, mistakes with 2 and a reason.
TEST(CommandLine, ExitCodesAndReasons) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"--help", 0, "--checksum-md5"},
      {"--help", 0, "Exit status"},
      {"--version", 0, "lumoget "},
      {"", 2, "no URLs"},
      {"ftp://a/f", 2, "not an http"},
      {"--checksum-url http://a/s.md5 http://a/f", 2, "go together"},
      {"--checksum-md5 0123456789abcdef0123456789abcdef http://a/f", 2, "go together"},
      {"--checksum-url http://a/s.md5 --checksum-md5 abc http://a/f", 2, "32 hexadecimal"},
      {"-o dir/name http://a/f", 2, "directory"},
      {"-o name", 2, "describe the URLs"},
      {"--max-speed 5G http://a/f", 2, "at most"},
      {"-i /nonexistent/jobs.txt", 2, "cannot read"},
      {"--no-such-option http://a/f", 2, ""},
      {"http://a/f", -1, ""},
  };
  for (const auto& [words, code, reason] : cases) {
    const CommandLine line = Parse(words);
    EXPECT_EQ(line.exitCode, code) << words;
    EXPECT_NE((line.out + line.err).find(reason), std::string::npos) << words << ": " << line.err;
  }
}

TEST(InputFile, OneJobALineWithOptionsCommentsAndWindowsLineEnds) {
  std::istringstream in(
      "# comment\r\n\r\nhttp://a/one.bin http://b/one.bin\r\n"
      "   http://a/two.bin dir=other out=2.bin checksum-url=http://a/s.md5 "
      "checksum-url=http://b/s.md5 checksum-md5=0123456789abcdef0123456789abcdef\n"
      "   # indented comment\n");
  std::vector<JobSpec> jobs;
  std::string error;
  ASSERT_TRUE(ParseInputFile(in, "base", jobs, error)) << error;
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].urls, (std::vector<std::string>{"http://a/one.bin", "http://b/one.bin"}));
  EXPECT_EQ(jobs[0].dir + "|" + jobs[0].name, "base|");
  EXPECT_EQ(jobs[1].urls, (std::vector<std::string>{"http://a/two.bin"}));
  EXPECT_EQ(jobs[1].dir + "|" + jobs[1].name, "other|2.bin");
  EXPECT_EQ(jobs[1].checksumUrls.size(), 2u);
  EXPECT_EQ(jobs[1].checksumMd5, "0123456789abcdef0123456789abcdef");
  std::istringstream bad("http://a/ok\n\nout=x.bin\n");
  EXPECT_FALSE(ParseInputFile(bad, "", jobs, error));
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
  // Its jobs follow the command line's and share its directory.
  const auto path = lumo::testing::TestDir() / "jobs.txt";
  lumo::testing::WriteFile(path, "http://a/from-file.bin\n");
  const CommandLine line = Parse("-d saved -i " + path.string() + " http://a/first.bin");
  ASSERT_EQ(line.exitCode, -1) << line.err;
  ASSERT_EQ(line.settings.jobs.size(), 2u);
  EXPECT_EQ(line.settings.jobs[0].urls[0], "http://a/first.bin");
  EXPECT_EQ(line.settings.jobs[1].urls[0], "http://a/from-file.bin");
  EXPECT_EQ(line.settings.jobs[1].dir, "saved");
}

TEST(Outcome, EachStateWithTheModulesReasonAndTheCompletedList) {
  const std::tuple<uint32_t, const char*, bool, const char*> cases[] = {
      {kLumoFileDone, "", true, ""},
      {kLumoFileFailed, "Failed to download file, File not found in server.", false,
       "File not found in server."},
      {kLumoFileFailed, "Illegal checksum file", false, "Illegal checksum file"},
      {kLumoFileFailed, "", false, "failed"},
      {kLumoFileRunning, "", false, "not finished"},
      {kLumoFileQueued, "", false, "not finished"},
  };
  for (const auto& [state, message, completed, shown] : cases) {
    LumoFileResult result{};
    result.state = state;
    result.attempts = 3;
    const JobOutcome outcome = OutcomeOf("/save/a.bin", result, message);
    EXPECT_EQ(outcome.completed, completed) << state;
    EXPECT_EQ(outcome.message, shown) << state;
    EXPECT_EQ(outcome.attempts, 3u);
  }
  EXPECT_EQ(SplitCompleted(""), std::vector<std::string>{});
  EXPECT_EQ(SplitCompleted(";/a/x;;/b/y;"), (std::vector<std::string>{"/a/x", "/b/y"}));
}

TEST(Progress, FiguresPercentAndTimeLeft) {
  EXPECT_EQ(FormatBytes(0) + "|" + FormatBytes(1023) + "|" + FormatBytes(1024) + "|" +
                FormatBytes(1536 * 1024) + "|" + FormatBytes(3ull << 40) + "|" + FormatSpeed(2048),
            "0 B|1023 B|1.0 KiB|1.5 MiB|3.0 TiB|2.0 KiB/s");
  EXPECT_EQ(FormatEta(0) + "|" + FormatEta(61) + "|" + FormatEta(3600) + "|" + FormatEta(90061),
            "0:00|1:01|1:00:00|25:01:01");
  ProgressSnapshot s;
  s.bytes = 50;
  EXPECT_EQ(PercentDone(s), -1);
  EXPECT_EQ(SecondsLeft(s), -1);
  s.total = 200;
  EXPECT_EQ(PercentDone(s), 25);
  EXPECT_EQ(SecondsLeft(s), -1);  // no speed yet
  s.currentSpeed = 10;
  EXPECT_EQ(SecondsLeft(s), 15);  // falls back on the current speed
  s.averageSpeed = 100;
  EXPECT_EQ(SecondsLeft(s), 2);  // 150 bytes at 100 B/s, rounded up
  s.bytes = 300;                 // more than the total: no promise
  EXPECT_EQ(PercentDone(s), 100);
  EXPECT_EQ(SecondsLeft(s), -1);
}

}  // namespace
}  // namespace lumoget
