// The one naming rule of files taken from URLs.
#include "base/file_name.h"

#include <gtest/gtest.h>

namespace lumo {
namespace {

TEST(FileNameFromUrl, NamesEachUrlByTheOneRule) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/dir/data.bin?v=2", "data.bin"},
      {"http://h/dir/data.bin?token=abc/def", "data.bin"},
      {"http://h/small.bin#part2", "small.bin"},
      {"http://h/a.bin#x?y", "a.bin"},
      {"http://h/a%20b.zip", "a%20b.zip"},
      {"http://h/d/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-\xE6\x96\x87.bin",
       "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-\xE6\x96\x87.bin"},
      {"http://h/bad\xFF\xC3.bin", "bad__.bin"},
      {"http://h/over\xC0\xAFlong\xED\xA0\x80.bin", "over__long___.bin"},
      {"http://h/x\xE6\x96y\xF0\x9F\x98z.bin", "x__y___z.bin"},
      {"http://h/a:b.bin", "a_b.bin"},
      {"http://h/star*.bin", "star_.bin"},
      {"http://h/x;y.bin", "x_y.bin"},
      {"http://h/q\"<>|\\.bin", "q_____.bin"},
      {"http://h/ctl\x01\x7F.bin", "ctl__.bin"},
      {"http://h/con.bin", "_con.bin"},
      {"http://h/CONIN$", "_CONIN$"},
      {"http://h/lpt\xC2\xB3", "_lpt\xC2\xB3"},
      {"http://h/COM10", "COM10"},
      {"http://h/console.txt", "console.txt"},
      {"http://h/name.", "name"},
      {"http://h/name. . ", "name"},
      {"http://h/dir/..", "unnamed"},
      {"http://h/dir/", "unnamed"},
      {"http://h", "unnamed"},
      {"http://h?x=/a.bin", "unnamed"},
      {"no-slash", "unnamed"},
      {"", "unnamed"},
      {"relative/dir/file.pak", "file.pak"}};
  for (const auto& [url, name] : cases) EXPECT_EQ(FileNameFromUrl(url), name) << url;
}

TEST(FileNameFromUrl, LongNamesAreCutAtACharacterKeepingTheExtension) {
  EXPECT_EQ(FileNameFromUrl("http://h/" + std::string(300, 'a') + ".bin"),
            std::string(kMaxFileNameBytes - 4, 'a') + ".bin");

  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "\xE6\x96\x87";  // 300 bytes, 3 a character
  const std::string name = FileNameFromUrl("http://h/" + wide + ".pak");
  // Whole characters only.
  EXPECT_TRUE(name.size() <= kMaxFileNameBytes && name.substr(name.size() - 4) == ".pak" &&
              (name.size() - 4) % 3 == 0);
  // No extension worth keeping: the cut name must not end in a dot or space.
  EXPECT_EQ(FileNameFromUrl("http://h/" + std::string(239, 'x') + ". " + std::string(40, 'y')),
            std::string(239, 'x'));
  // The device prefix counts towards the bound.
  EXPECT_LE(FileNameFromUrl("http://h/con." + std::string(300, 'x')).size(), kMaxFileNameBytes);
}

// The host's names: folders inside the save folder pass; nothing that leads elsewhere does.
TEST(IsLegalHostFileName, RelativeNamesInsideTheFolderOnly) {
  // Names separated by commas (no name here holds one).
  auto names = [](const std::string& list) {
    std::vector<std::string> out;
    for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1)
      out.push_back(list.substr(
          begin, (end = list.find(',', begin)) == std::string::npos ? end : end - begin));
    return out;
  };
  const std::string legal =
      ",data.pak,data/pak01.pak,data\\sub\\x.bin,a.b.c,.hidden,x;y.bin,COM10,console/comet.txt,"
      "\xE6\x96\x87/\xE6\x96\x87.bin";
  for (const std::string& name : names(legal)) EXPECT_TRUE(IsLegalHostFileName(name)) << name;
  const std::string illegal =
      "/abs,\\abs,\\\\server\\share\\x,\\\\?\\C:\\x,C:\\x,C:x,c:,x:stream,..,../x,a/../../x,"
      "a\\..\\x,.,./x,a/./x,a/,a//b,a\\,x.,x ,dir./x,dir /x,a\x01b,a\x7F,a\tb,a\rb,a\nb,con,"
      "CON.txt,d/aux,nul.tar.gz,LPT1/x,com\xC2\xB9,conin$,a*b,a?b,a\"b,a<b,a>b,a|b";
  for (const std::string& name : names(illegal)) EXPECT_FALSE(IsLegalHostFileName(name)) << name;
}

}  // namespace
}  // namespace lumo
