#include "base/log.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(LogPathFor(WideOfUtf8("/opt/game/bin/")), u"/opt/game/bin/../lumodownload.log");
  for (const auto& c : cases)
    EXPECT_EQ(FormatLogLine(t, c.level, c.message), "2017-11-23T02:47:10 " + c.line + "\n");
}

}  // namespace
}  // namespace lumo
