#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/log.h"
#include "base/text_conversion.h"

namespace lumo {
namespace {

platform::CalendarTime Sample() {
  platform::CalendarTime t;
  t.year = 2017;
  t.month = 11;
  t.day = 23;
  t.hour = 2;
  t.minute = 47;
  t.second = 10;
  t.milliseconds = 999;
  return t;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Log, LineFormat) {
  EXPECT_EQ(FormatLogLine(Sample(), "INFO", "Download thread started."),
            "2017-11-23T02:47:10 INFO - Download thread started.\n");
  // An empty level leaves two spaces; a line break in a message is not escaped.
  EXPECT_EQ(FormatLogLine(Sample(), "", "a\nb"), "2017-11-23T02:47:10  - a\nb\n");
}

TEST(Log, PathIsInParentOfExecutableDirectory) {
  WString dir;
  for (char c : std::string("/opt/game/bin/")) dir.push_back(static_cast<WChar>(c));
  EXPECT_EQ(LogPathFor(dir), u"/opt/game/bin/../lumodownload.log");
  EXPECT_EQ(LogPathFor(WString()), u"../lumodownload.log");
  // The running program's log lies beside its folder.
  const std::string path = Utf8Of(LogPath());
  ASSERT_GE(path.size(), sizeof("../lumodownload.log") - 1);
  EXPECT_EQ(path.substr(path.size() - 19), "../lumodownload.log");
}

TEST(Log, AppendsAndSurvivesDeletion) {
  const std::string path = Utf8Of(LogPath());
  std::remove(path.c_str());
  WriteLog("WARN", "first line");
  WriteLog("INFO", "second line");
  std::string content = ReadAll(path);
  EXPECT_NE(content.find(" WARN - first line\n"), std::string::npos);
  EXPECT_LT(content.find("first line"), content.find("second line"));
  std::remove(path.c_str());
  WriteLog("INFO", "after deletion");
  content = ReadAll(path);
  EXPECT_NE(content.find(" INFO - after deletion\n"), std::string::npos);
  EXPECT_EQ(content.find("first line"), std::string::npos);
}

}  // namespace
}  // namespace lumo
