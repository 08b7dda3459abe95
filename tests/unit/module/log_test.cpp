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
  // An empty level leaves two spaces.
  EXPECT_EQ(FormatLogLine(Sample(), "", "x"), "2017-11-23T02:47:10  - x\n");
}

// Texts from servers and hosts end up in messages (and could in levels): none of them may end
// the line or forge another one.
TEST(Log, ControlCharactersOfAnyTextAreEscaped) {
  struct Case {
    std::string level;
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {"INFO", "Got preferred domain a\r\n2017-11-23T02:47:10 ERROR - forged",
       "INFO - Got preferred domain a\\r\\n2017-11-23T02:47:10 ERROR - forged"},
      {"WARN", "tab\there, bell\a, nul" + std::string(1, '\0') + ", del\x7F, esc\x1B[2J",
       "WARN - tab\\there, bell\\x07, nul\\x00, del\\x7F, esc\\x1B[2J"},
      {"IN\nFO", "x", "IN\\nFO - x"},
      // Backslashes, UTF-8 and other high bytes pass: paths and names stay readable.
      {"INFO", "C:\\Games\\\xE6\x96\x87\xC2\x85.pak", "INFO - C:\\Games\\\xE6\x96\x87\xC2\x85.pak"},
  };
  for (const Case& c : cases) {
    const std::string line = FormatLogLine(Sample(), c.level, c.message);
    EXPECT_EQ(line, "2017-11-23T02:47:10 " + c.line + "\n") << c.message;
  }
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
  WriteLog("INFO", "second line\r\n2017-11-23T02:47:10 ERROR - forged");
  std::string content = ReadAll(path);
  EXPECT_NE(content.find(" INFO - second line\\r\\n2017-11-23T02:47:10 ERROR - forged\n"),
            std::string::npos);
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
