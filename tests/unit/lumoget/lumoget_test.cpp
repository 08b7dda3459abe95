// The host program's own logic the end-to-end runs do not reach: its command line's settings and
// mistakes, and its input file. What it prints and its exit on success are theirs.
#include <gtest/gtest.h>

#include <sstream>

#include "command_line.h"
#include "support/scratch.h"

namespace lumoget {
namespace {

using Strings = std::vector<std::string>;

CommandLine Parse(const std::string& words) {
  Strings arguments = {"lumoget"};
  std::istringstream in(words);
  for (std::string word; in >> word;) arguments.push_back(word);
  return ParseCommandLine(arguments);
}

// Mirrors of one file form one job with the options that describe it; the input file's jobs
// follow it and share only its directory.
TEST(CommandLine, MirrorsOfOneFileFormOneJobWithItsSettings) {
  const std::string md5 = "0123456789abcdefABCDEF0123456789";
  const auto jobs = lumo::testing::TestDir() / "jobs.txt";
  lumo::testing::WriteFile(jobs, "http://a/from-file.bin\n");
  const CommandLine line = Parse(
      "-d out -o game.pak --checksum-url http://a/s.md5 --checksum-url http://b/s.md5 "
      "--checksum-md5 " +
      md5 + " --sid s1 --game g7 --client-version 2.0 --max-speed 2M -i " + jobs.string() +
      " http://a/game.pak https://b/game.pak");
  ASSERT_TRUE(line.exitCode == -1 && line.settings.jobs.size() == 2u) << line.err;
  const JobSpec &job = line.settings.jobs[0], &fromFile = line.settings.jobs[1];
  EXPECT_EQ(
      std::make_tuple(job.urls, job.checksumUrls, job.dir + "|" + job.name + "|" + job.checksumMd5),
      std::make_tuple(Strings{"http://a/game.pak", "https://b/game.pak"},
                      Strings{"http://a/s.md5", "http://b/s.md5"}, "out|game.pak|" + md5));
  EXPECT_EQ(
      fromFile.urls.at(0) + "|" + fromFile.dir + "|" + fromFile.name + "|" + fromFile.checksumMd5,
      "http://a/from-file.bin|out||");
  const Settings& s = line.settings;
  EXPECT_EQ(s.sid + "|" + s.game + "|" + s.clientVersion, "s1|g7|2.0");
  EXPECT_TRUE(s.maxSpeedSet && s.maxSpeed == 2u * 1024 * 1024);
  EXPECT_FALSE(Parse("http://a/f").settings.maxSpeedSet) << "no speed limit unless asked";
}

// Help and version exit with 0, mistakes with 2 and a reason.
TEST(CommandLine, ExitCodesAndReasons) {
  const std::tuple<const char*, int, const char*> cases[] = {
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
      {"http://a/f", -1, ""}};
  for (const auto& [words, code, reason] : cases) {
    const CommandLine line = Parse(words);
    EXPECT_EQ(line.exitCode, code) << words;
    EXPECT_NE((line.out + line.err).find(reason), std::string::npos) << words << ": " << line.err;
  }
}

TEST(InputFile, OneJobALineWithOptionsCommentsAndWindowsLineEnds) {
  std::istringstream in(
      "# comment\r\n\r\nhttp://a/one.bin http://b/one.bin\r\n   http://a/two.bin dir=other "
      "out=2.bin "
      "checksum-url=http://a/s.md5 checksum-url=http://b/s.md5 "
      "checksum-md5=0123456789abcdef0123456789abcdef\n"
      "   # indented comment\n");
  std::vector<JobSpec> jobs;
  std::string error;
  ASSERT_TRUE(ParseInputFile(in, "base", jobs, error)) << error;
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].urls, (Strings{"http://a/one.bin", "http://b/one.bin"}));
  EXPECT_EQ(jobs[0].dir + "|" + jobs[0].name + "|" + jobs[1].dir + "|" + jobs[1].name + "|" +
                jobs[1].urls.at(0) + "|" + jobs[1].checksumUrls.at(1) + "|" + jobs[1].checksumMd5,
            "base||other|2.bin|http://a/two.bin|http://b/s.md5|0123456789abcdef0123456789abcdef");
  std::istringstream bad("http://a/ok\n\nout=x.bin\n");
  EXPECT_TRUE(!ParseInputFile(bad, "", jobs, error) && error.find("line 3") != std::string::npos)
      << error;
}

}  // namespace
}  // namespace lumoget
