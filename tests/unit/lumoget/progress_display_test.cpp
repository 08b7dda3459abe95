#include "progress_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace lumoget {
namespace {

TEST(FormatTest, BytesSpeedsAndTimes) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1024), "1.0 KiB");
  EXPECT_EQ(FormatBytes(1536 * 1024), "1.5 MiB");
  EXPECT_EQ(FormatBytes(200ull * 1024 * 1024), "200.0 MiB");
  EXPECT_EQ(FormatBytes(3ull << 40), "3.0 TiB");
  EXPECT_EQ(FormatSpeed(2048), "2.0 KiB/s");
  EXPECT_EQ(FormatEta(0), "0:00");
  EXPECT_EQ(FormatEta(59), "0:59");
  EXPECT_EQ(FormatEta(61), "1:01");
  EXPECT_EQ(FormatEta(3600), "1:00:00");
  EXPECT_EQ(FormatEta(90061), "25:01:01");
}

TEST(ProgressMathTest, PercentAndTimeLeftOnlyWhenKnown) {
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

TEST(ProgressLineTest, TerminalLineShowsEverythingTheUserAsksAbout) {
  const std::string line = TerminalLine(Running());
  EXPECT_EQ(line,
            "downloading  10.0 MiB / 40.0 MiB  25%  2.0 MiB/s (avg 1.0 MiB/s)  ETA 0:30  [2/3] "
            "game.pak");
}

TEST(ProgressViewTest, TerminalRedrawsOneLineCutToTheWidthAndPadsShorterOnes) {
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
  const std::string first = text.substr(1, second - 1);
  EXPECT_EQ(first.size(), 29u);
  const std::string redraw = text.substr(second + 1, text.size() - second - 2);
  EXPECT_EQ(redraw.size(), 29u) << "padded over the longer line";
  EXPECT_EQ(redraw.rfind("finished", 0), 0u);
}

TEST(ProgressViewTest, PlainOutputOnStateChangesAndAtTheInterval) {
  std::ostringstream out;
  ProgressView view(out, false, 0, 2000);
  ProgressSnapshot s = Running();
  view.Update(s, 0);     // first
  view.Update(s, 500);   // too soon
  view.Update(s, 2000);  // interval
  s.runState = 5;
  view.Update(s, 2100);  // state change
  view.Update(s, 2200);  // too soon
  view.Finish();
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_NE(text.find("paused: disk full"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace lumoget
