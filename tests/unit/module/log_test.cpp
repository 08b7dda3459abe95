#include "base/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/text_conversion.h"

namespace lumo {
namespace {

// Texts from servers and hosts end up in messages (and could in levels): none of them may end
// the line or forge another one. Backslashes, UTF-8 and other high bytes pass.
TEST(Log, ControlCharactersOfAnyTextAreEscaped) {
  const struct {
    std::string level, message, line;
  } cases[] = {
      {"INFO", "a\r\n2017-11-23T02:47:10 ERROR - forged",
       "INFO - a\\r\\n2017-11-23T02:47:10 ERROR - forged"},
      {"WARN", "tab\t, bell\a, nul" + std::string(1, '\0') + ", del\x7F, esc\x1B[2J",
       "WARN - tab\\t, bell\\x07, nul\\x00, del\\x7F, esc\\x1B[2J"},
      {"IN\nFO", "x", "IN\\nFO - x"},
      {"INFO", "C:\\Games\\\xE6\x96\x87\xC2\x85.pak", "INFO - C:\\Games\\\xE6\x96\x87\xC2\x85.pak"},
  };
  platform::CalendarTime t;
  t.year = 2017, t.month = 11, t.day = 23, t.hour = 2, t.minute = 47, t.second = 10,
  t.milliseconds = 9;
  for (const auto& c : cases)
    EXPECT_EQ(FormatLogLine(t, c.level, c.message), "2017-11-23T02:47:10 " + c.line + "\n");
}

// In the parent of the program's folder; a message past the formatter's first buffer is whole,
// lines come in order, and a deleted file is made anew.
TEST(Log, AppendsAndSurvivesDeletion) {
  EXPECT_EQ(LogPathFor(WideOfUtf8("/opt/game/bin/")), u"/opt/game/bin/../lumodownload.log");
  const std::string path = Utf8Of(LogPath());
  const auto content = [&path] {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  std::remove(path.c_str());
  const std::string longUrl = "http://127.0.0.1/" + std::string(700, 'a') + ".bin";
  WriteLog(LogLevel::kWarn, "first %d from %s.", 42, longUrl.c_str());
  WriteLog(LogLevel::kInitError, "%s", "second");
  const size_t first = content().find(" WARN - first 42 from " + longUrl + ".\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_GT(content().find(" Error - second\n"), first);
  std::remove(path.c_str());
  WriteLog(LogLevel::kInfo, "after deletion");
  EXPECT_NE(content().find(" INFO - after deletion\n"), std::string::npos);
  EXPECT_EQ(content().find("first"), std::string::npos);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace lumo
