// The host program's own logic: its command line, input file, outcomes and progress display.
#include <gtest/gtest.h>

#include <algorithm>
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

ProgressSnapshot Running() {
  ProgressSnapshot s;
  s.runState = 1;
  s.bytes = 10 * 1024 * 1024;
  s.total = 40 * 1024 * 1024;
  s.averageSpeed = 1024 * 1024;
  s.currentSpeed = 2 * 1024 * 1024;
  s.filesStarted = 2;
  s.jobCount = 3;
  s.currentPath = "/save/dir/game.pak";
  return s;
}

TEST(Progress, FiguresPercentAndTimeLeft) {
  const std::pair<uint64_t, const char*> sizes[] = {{0, "0 B"},
                                                    {1023, "1023 B"},
                                                    {1024, "1.0 KiB"},
                                                    {1536 * 1024, "1.5 MiB"},
                                                    {3ull << 40, "3.0 TiB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatBytes(bytes), text);
  EXPECT_EQ(FormatSpeed(2048), "2.0 KiB/s");
  for (const auto& [seconds, text] :
       {std::pair{0, "0:00"}, {61, "1:01"}, {3600, "1:00:00"}, {90061, "25:01:01"}}) {
    EXPECT_EQ(FormatEta(seconds), text);
  }
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
  EXPECT_EQ(TerminalLine(Running()),
            "downloading  10.0 MiB / 40.0 MiB  25%  2.0 MiB/s (avg 1.0 MiB/s)  ETA 0:30  [2/3] "
            "game.pak");
}

TEST(Progress, TerminalRedrawsOneLineCutToTheWidthAndPadsShorterOnes) {
  std::ostringstream out;
  ProgressView view(out, true, 30, 2000);
  view.Update(Running(), 0);
  ProgressSnapshot shorter;
  shorter.runState = 2;
  view.Update(shorter, 100);
  view.Finish();
  view.Finish();
  const std::string text = out.str();
  ASSERT_EQ(text.find('\n'), text.size() - 1) << "one line, ended once";
  const size_t second = text.find('\r', 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(second - 1, 29u);
  const std::string redraw = text.substr(second + 1, text.size() - second - 2);
  EXPECT_EQ(redraw.size(), 29u) << "padded over the longer line";
  EXPECT_EQ(redraw.rfind("finished", 0), 0u);
}

TEST(Progress, PlainOutputOnStateChangesAndAtTheInterval) {
  std::ostringstream out;
  ProgressView view(out, false, 0, 2000);
  ProgressSnapshot s = Running();
  for (const auto& [state, ms] :
       {std::pair{1u, 0}, {1u, 500}, {1u, 2000}, {5u, 2100}, {5u, 2200}}) {
    s.runState = state;
    view.Update(s, ms);  // the first, the interval and the change are shown
  }
  view.Finish();
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_NE(text.find("paused: disk full"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace lumoget
