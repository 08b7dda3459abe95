#include "base/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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
      {"", "x", " - x"},  // an empty level leaves two spaces
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
}

// Values in their places, a message past the formatter's first buffer whole, lines in order
// and escaped; a deleted file is made anew.
TEST(Log, AppendsAndSurvivesDeletion) {
  const std::string path = Utf8Of(LogPath());
  std::remove(path.c_str());
  const std::string longUrl = "http://127.0.0.1/" + std::string(700, 'a') + ".bin";
  WriteLog(LogLevel::kWarn, "first %d from %s.", 42, longUrl.c_str());
  WriteLog(LogLevel::kInitError, "%s", "second\r\n2017-11-23T02:47:10 ERROR - forged");
  std::string content = ReadAll(path);
  const size_t first = content.find(" WARN - first 42 from " + longUrl + ".\n");
  const size_t second = content.find(" Error - second\\r\\n2017-11-23T02:47:10 ERROR - forged\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  std::remove(path.c_str());
  WriteLog(LogLevel::kInfo, "after deletion");
  content = ReadAll(path);
  EXPECT_NE(content.find(" INFO - after deletion\n"), std::string::npos);
  EXPECT_EQ(content.find("first"), std::string::npos);
}

}  // namespace
}  // namespace lumo
