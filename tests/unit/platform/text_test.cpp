#include <gtest/gtest.h>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

std::string ToUtf8(CodePage page, const WString& text, bool* ok = nullptr) {
  std::string out = "unchanged";
  bool converted = WideToMultiByte(page, text.data(), text.size(), &out);
  if (ok != nullptr) *ok = converted;
  return out;
}

WString ToWide(CodePage page, const std::string& text, bool* ok = nullptr) {
  WString out = u"unchanged";
  bool converted = MultiByteToWide(page, text.data(), text.size(), &out);
  if (ok != nullptr) *ok = converted;
  return out;
}

TEST(TextConversion, WellFormedTextRoundTripsInBothCodePages) {
  const WString samples[] = {u"", u"plain ascii/path.txt", u"caf\u00e9 \u4e2d\u6587",
                             u"emoji \U0001F600 end", u"\U0010FFFF\u0800\u007f\u0080"};
  for (CodePage page : {CodePage::kUtf8, CodePage::kAnsi}) {
    for (const WString& sample : samples) {
      bool ok = false;
      std::string narrow = ToUtf8(page, sample, &ok);
      ASSERT_TRUE(ok);
      EXPECT_EQ(ToWide(page, narrow, &ok), sample);
      EXPECT_TRUE(ok);
    }
  }
  EXPECT_EQ(ToUtf8(CodePage::kUtf8, u"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(ToUtf8(CodePage::kUtf8, u"\u4e2d"), "\xe4\xb8\xad");
  EXPECT_EQ(ToUtf8(CodePage::kUtf8, u"\U0001F600"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(ToUtf8(CodePage::kUtf8, WString(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, LoneSurrogatesAreReplacedInUtf8AndRefusedInTheSystemCodePage) {
  const WString lone[] = {WString(1, 0xD800), WString(u"x") + WChar(0xDC00) + u"y",
                          WString(u"a") + WChar(0xD83D)};
  const std::string expected[] = {"\xef\xbf\xbd", "x\xef\xbf\xbdy", "a\xef\xbf\xbd"};
  for (size_t i = 0; i < 3; ++i) {
    bool ok = false;
    EXPECT_EQ(ToUtf8(CodePage::kUtf8, lone[i], &ok), expected[i]);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ToUtf8(CodePage::kAnsi, lone[i], &ok), "unchanged");
    EXPECT_FALSE(ok);
  }
}

TEST(TextConversion, IllFormedUtf8IsReplacedPerMaximalSubpartOrRefused) {
  struct Case {
    std::string bytes;
    WString utf8Result;
  };
  const Case cases[] = {
      {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // overlong
      {"a\xe2\x82", u"a\uFFFD"},                          // truncated at the end
      {"\xe2\x82z", u"\uFFFDz"},                          // truncated in the middle
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xff", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    bool ok = false;
    EXPECT_EQ(ToWide(CodePage::kUtf8, c.bytes, &ok), c.utf8Result);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ToWide(CodePage::kAnsi, c.bytes, &ok), u"unchanged");
    EXPECT_FALSE(ok);
  }
}

TEST(TextConversion, NullInputOnlyWithZeroLength) {
  std::string narrow = "x";
  EXPECT_TRUE(WideToMultiByte(CodePage::kUtf8, nullptr, 0, &narrow));
  EXPECT_EQ(narrow, "");
  EXPECT_FALSE(WideToMultiByte(CodePage::kUtf8, nullptr, 3, &narrow));
  WString wide;
  EXPECT_FALSE(MultiByteToWide(CodePage::kUtf8, nullptr, 3, &wide));
}

TEST(SystemErrorText, WindowsWordingOrNothing) {
  EXPECT_EQ(SystemErrorText(0), "The operation completed successfully.");
  EXPECT_EQ(SystemErrorText(static_cast<int32_t>(0x80070005u)), "Access is denied.");
  EXPECT_EQ(SystemErrorText(5), "Access is denied.");
  EXPECT_EQ(SystemErrorText(static_cast<int32_t>(0x80070070u)),
            "There is not enough space on the disk.");
  EXPECT_EQ(SystemErrorText(static_cast<int32_t>(0x8007FFFEu)), "");
  EXPECT_EQ(SystemErrorText(1234567), "");
}

}  // namespace
}  // namespace platform
}  // namespace lumo
