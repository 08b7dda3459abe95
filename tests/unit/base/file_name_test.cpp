// The one naming rule of files taken from URLs.
#include "base/file_name.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lumo {
namespace {

TEST(FileNameFromUrl, NamesEachUrlByTheOneRule) {
  std::string x239(239, 'x'), wide;
  for (int i = 0; i < 100; ++i) wide += "\xE6\x96\x87";  // 300 bytes, 3 a character
  const std::pair<std::string, std::string> cases[] = {
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
      {"relative/dir/file.pak", "file.pak"},
      // Long names are cut at a character keeping the extension; with none worth keeping,
      // never at a dot or space.
      {"http://h/" + std::string(300, 'a') + ".bin",
       std::string(kMaxFileNameBytes - 4, 'a') + ".bin"},
      {"http://h/" + wide + ".pak", wide.substr(0, 234) + ".pak"},
      {"http://h/" + x239 + ". " + std::string(40, 'y'), x239}};
  for (const auto& [url, name] : cases) EXPECT_EQ(FileNameFromUrl(url), name) << url;
  // The device prefix counts towards the bound.
  EXPECT_LE(FileNameFromUrl("http://h/con." + std::string(300, 'x')).size(), kMaxFileNameBytes);
}

// The host's names: folders inside the save folder pass; nothing that leads elsewhere does.
TEST(IsLegalHostFileName, RelativeNamesInsideTheFolderOnly) {
  // Names separated by commas (no name here holds one); none (the first) leaves the URL's.
  std::istringstream legal(
      ",data.pak,data/pak01.pak,data\\sub\\x.bin,a.b.c,.hidden,x;y.bin,COM10,console/comet.txt,"
      "\xE6\x96\x87/\xE6\x96\x87.bin");
  for (std::string name; std::getline(legal, name, ',');)
    EXPECT_TRUE(IsLegalHostFileName(name)) << name;
  std::istringstream illegal(
      "/abs,\\abs,\\\\server\\share\\x,\\\\?\\C:\\x,C:\\x,C:x,c:,x:stream,..,../x,a/../../x,"
      "a\\..\\x,.,./x,a/./x,a/,a//b,a\\,x.,x ,dir./x,dir /x,a\x01b,a\x7F,a\tb,a\rb,a\nb,con,"
      "CON.txt,d/aux,nul.tar.gz,LPT1/x,com\xC2\xB9,conin$,a*b,a?b,a\"b,a<b,a>b,a|b");
  for (std::string name; std::getline(illegal, name, ',');)
    EXPECT_FALSE(IsLegalHostFileName(name)) << name;
}

}  // namespace
}  // namespace lumo
