#include "base/log.h"

#include <gtest/gtest.h>

#include "base/text_conversion.h"

namespace lumo {
namespace {

// Texts from servers and hosts end up in messages (and could in levels): none of them may end
// the line or forge another one. Backslashes, UTF-8 and other high bytes pass.
TEST(Log, ControlCharactersOfAnyTextAreEscaped) {
  const platform::CalendarTime t{2017, 11, 4, 23, 2, 47, 10, 9};
  EXPECT_EQ(LogPathFor(WideOfUtf8("/opt/game/bin/")), u"/opt/game/bin/../lumodownload.log");
  const std::string message = "a\r\n2017-11-23T02:47:10 ERROR\t\a" + std::string(1, '\0') +
                              "\x7F\x1B[2J C:\\\xE6\x96\x87\xC2\x85";
  EXPECT_EQ(
      FormatLogLine(t, "IN\nFO", message),
      "2017-11-23T02:47:10 IN\\nFO - a\\r\\n2017-11-23T02:47:10 ERROR\\t\\x07\\x00\\x7F\\x1B[2J "
      "C:\\\xE6\x96\x87\xC2\x85\n");
}

}  // namespace
}  // namespace lumo
