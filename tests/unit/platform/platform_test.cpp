// The platform layer: text conversion, file and engine paths, MD5, clocks and the storage bus.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <tuple>

#include "platform/engine_file.h"
#include "platform/long_path.h"
#include "platform/posix/sysfs_bus.h"
#include "support/scratch.h"

namespace lumo::platform {
namespace {

namespace fs = std::filesystem;
using lumo::testing::ReadFile;
using lumo::testing::WriteFile;

constexpr int32_t kInvalidName = static_cast<int32_t>(0x8007007Bu);

bool ignored;
std::string Narrow(CodePage page, const WString& text, bool* ok = &ignored) {
  std::string out = "unchanged";
  return *ok = WideToMultiByte(page, text.data(), text.size(), &out), out;
}
WString Wide(CodePage page, const std::string& text, bool* ok = &ignored) {
  WString out = u"unchanged";
  return *ok = MultiByteToWide(page, text.data(), text.size(), &out), out;
}
WString Wide(const std::string& utf8) { return Wide(CodePage::kUtf8, utf8); }
size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(TextConversion, WellFormedTextBothWaysInBothCodePages) {
  const std::pair<WString, std::string> cases[] = {
      {u"", ""},
      {u"caf\u00e9 \u4e2d/x.txt", "caf\xc3\xa9 \xe4\xb8\xad/x.txt"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {WString(u"a\0b", 3), std::string("a\0b", 3)},
      {u"\U0010FFFF\u0800\u007f\u0080\uFFFD",
       "\xf4\x8f\xbf\xbf\xe0\xa0\x80\x7f\xc2\x80\xef\xbf\xbd"}};
  for (CodePage page : {CodePage::kUtf8, CodePage::kAnsi})
    for (const auto& [wide, utf8] : cases) {
      bool narrowOk = false, wideOk = false;
      EXPECT_TRUE(Narrow(page, wide, &narrowOk) == utf8 && Wide(page, utf8, &wideOk) == wide &&
                  narrowOk && wideOk)
          << utf8;
    }
}

// UTF-8 replaces what is not text, one U+FFFD per maximal subpart; the system code page refuses.
TEST(TextConversion, IllFormedInputIsReplacedInUtf8AndRefusedInTheSystemCodePage) {
  const std::pair<WString, std::string> lone[] = {{WString(1, 0xD800), "\xef\xbf\xbd"},
                                                  {u"x\xDC00y", "x\xef\xbf\xbdy"},
                                                  {u"a\xD83D", "a\xef\xbf\xbd"}};
  const CodePage utf8 = CodePage::kUtf8, ansi = CodePage::kAnsi;
  for (const auto& [wide, replaced] : lone) {
    bool ok = false, ansiOk = true;
    EXPECT_TRUE(Narrow(utf8, wide, &ok) + Narrow(ansi, wide, &ansiOk) == replaced + "unchanged" &&
                ok && !ansiOk)
        << replaced;
  }
  // Overlong, truncated at the end, in the middle, the last of four missing, an encoded
  // surrogate, above U+10FFFF, never a lead byte.
  const std::pair<std::string, WString> bytes[] = {
      {"\xc0\xaf", u"\uFFFD\uFFFD"},
      {"a\xe2\x82", u"a\uFFFD"},
      {"\xe2\x82z", u"\uFFFDz"},
      {"\xf0\x9f\x98z", u"\uFFFDz"},
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xff", u"\uFFFD"}};
  for (const auto& [text, replaced] : bytes) {
    bool ok = false, ansiOk = true;
    EXPECT_TRUE(Wide(utf8, text, &ok) + Wide(ansi, text, &ansiOk) == replaced + u"unchanged" &&
                ok && !ansiOk)
        << text;
  }
  std::string narrow = "x";
  WString wide;
  EXPECT_TRUE(WideToMultiByte(utf8, nullptr, 0, &narrow) && narrow.empty());
  EXPECT_FALSE(WideToMultiByte(utf8, nullptr, 3, &narrow) ||
               MultiByteToWide(utf8, nullptr, 3, &wide));
}

// RFC 1321, appendix A.5, fed whole and in pieces; a spent digest keeps its result.
TEST(Md5Digest, RfcVectorsInPiecesOfEverySize) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [input, digest] : vectors) {
    for (size_t piece : {size_t{100}, size_t{1}, size_t{7}, size_t{13}}) {
      Md5Digest md5;
      for (size_t at = 0; at < input.size(); at += piece)
        md5.Update(input.data() + at, std::min(piece, input.size() - at));
      const auto result = md5.Finish();
      md5.Update("more", 4);
      EXPECT_TRUE(DigestHex(result) == digest && md5.Finish() == result)
          << input << " by " << piece;
    }
  }
}

// Engine file paths that name no file on this system are refused, never rewritten.
TEST(EnginePath, AnUnpairedSurrogateOrNulNamesNoFile) {
  const std::string root = lumo::testing::TestDir().string();
  const WString good = Wide(root + "/good.bin");
  for (const WString& bad :
       {Wide(root + "/a") + WChar(0xD800) + u".bin", Wide(root + "/b") + WChar(0xDC00) + u"/c.bin",
        Wide(root + "/d") + WChar(0) + u"e.bin"}) {
    EngineFile out;
    uint64_t size = 0;
    const int32_t codes[] = {MakeDirectories(bad), EngineFile::OpenForAppend(bad, false, &out),
                             EngineFile::OpenForRead(bad, &out), RemoveFile(bad)};
    for (int32_t code : codes) EXPECT_EQ(code, kInvalidName);
    EXPECT_FALSE(out.IsOpen() || FileSize(bad, &size));
    EXPECT_TRUE(fs::is_empty(root)) << "nothing under a replacement name";
    ASSERT_EQ(EngineFile::OpenForAppend(good, false, &out), 0);
    EXPECT_EQ(out.Write("abc", 3) + out.Close(), 0);
    EXPECT_EQ(ReplaceFileWith(good, bad), kInvalidName);
    EXPECT_TRUE(FileSize(good, &size) && size == 3u);
    EXPECT_EQ(RemoveFile(good), 0);
  }
}

TEST(Files, DirectoriesRenameOpenAndDelete) {
  const fs::path root = lumo::testing::TestDir();
  const auto at = [&](const std::string& relative) { return Wide((root / relative).string()); };
  EXPECT_TRUE(CreateDirectories(at("a/b/c/")) && IsDirectory(at("a/b/c")) &&
              CreateDirectories(at("a/b")));
  WriteFile(root / "file", "x");
  EXPECT_FALSE(CreateDirectories(at("file/below")) || CreateDirectories(WString()));
  EXPECT_TRUE(FileExists(at("file")) && !IsDirectory(at("file")) && FileExists(at("")) &&
              !FileExists(at("missing")));
  WriteFile(root / "from", "new");
  EXPECT_TRUE(!RenameFile(at("from"), at("file")) && ReadFile(root / "file") == "x")
      << "a rename never replaces";
  EXPECT_TRUE(RenameFile(at("from"), at("free")) && ReadFile(root / "free") == "new");
  const WString name = at("caf\xc3\xa9-\xe4\xb8\xad.txt");
  const size_t descriptors = OpenDescriptors();
  std::FILE* file = OpenFile(name, "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(fs::exists(root / "caf\xc3\xa9-\xe4\xb8\xad.txt") &&
              OpenFile(at("missing"), "rb") == nullptr);
  EXPECT_TRUE(DeleteFileAt(name));
  EXPECT_FALSE(DeleteFileAt(name) || DeleteFileAt(at("")));  // directories are not files
  // The log's way of writing: only a plain file of its own, never through a link, a second
  // name or a FIFO; no descriptor kept.
  EXPECT_TRUE(AppendTextToFile(at("x.log"), "one\n") && AppendTextToFile(at("x.log"), "two\n") &&
              ReadFile(root / "x.log") == "one\ntwo\n");
  WriteFile(root / "victim", "precious");
  fs::create_symlink(root / "victim", root / "link.log");
  fs::create_hard_link(root / "victim", root / "second.log");
  ASSERT_EQ(::mkfifo((root / "fifo.log").c_str(), 0600), 0);
  for (const char* log : {"link.log", "second.log", "fifo.log"})
    EXPECT_FALSE(AppendTextToFile(at(log), "x\n")) << log;
  EXPECT_TRUE(ReadFile(root / "victim") == "precious" && OpenDescriptors() == descriptors);
  // A write the system refuses (a full file size limit here) fails at once, never retried.
  lumo::testing::RunInChild([&] {
    WriteFile(root / "full.log", "1234");
    const rlimit limit{4, 4};
    ASSERT_TRUE(signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0);
    alarm(10);
    EXPECT_FALSE(AppendTextToFile(at("full.log"), "more"));
  });
}

// What a Win32 file call is handed for a full path: the path itself below the call's limit, its
// extended-length form from it.
TEST(LongPath, ExtendedFormFromTheLimitOfEachKindOfCall) {
  const std::string dir247 = "C:\\" + std::string(244, 'd'),
                    file259 = "C:\\" + std::string(256, 'f'), ext = "\\\\?\\";
  const std::string share = "\\\\srv\\share\\" + std::string(250, 's'),
                    pipe = "\\\\.\\pipe\\" + std::string(300, 'p');
  const PathKind dir = PathKind::kDirectoryToCreate, file = PathKind::kFile;
  const std::tuple<std::string, PathKind, std::string> cases[] = {
      {dir247, dir, dir247},
      {dir247 + "d", dir, ext + dir247 + "d"},
      {dir247 + "d", file, dir247 + "d"},
      {file259, file, file259},
      {file259 + "f", file, ext + file259 + "f"},
      {"C:/a/" + std::string(260, 'b'), file, ext + "C:\\a\\" + std::string(260, 'b')},
      {pipe, file, pipe},
      {share, file, ext + "UNC\\srv\\share\\" + std::string(250, 's')},
      {ext + file259 + "f", file, ext + file259 + "f"}};
  for (const auto& [full, kind, expected] : cases) {
    const WString path = Wide(full);
    EXPECT_EQ(NeedsExtendedLength(path, kind) ? ExtendedLengthForm(path) : path, Wide(expected))
        << full;
  }
}

// A fake sysfs device tree: the bus is told from the path of the disk's device directory.
TEST(StorageBus, SysfsDevicePathsMapToWindowsBusTypes) {
  const fs::path root = lumo::testing::TestDir();
  const std::pair<const char*, uint32_t> cases[] = {
      {"pci/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", 7},
      {"pci/ata1/host0/target0:0:0/0:0:0:0/block/sda", 11},
      {"pci/0000:3d:00.0/nvme/nvme0/nvme0n1", 17},
      {"pci/virtio1/block/vda", 14},
      {"pci/host2/target2:0:0/2:0:0:0/block/sdc", 1},
      {"platform/sdhci/mmc_host/mmc0/mmc0:0001/block/mmcblk0", 13},
      {"virtual/block/loop3", 15},
      {"virtual/block/md0", 8},
      {"virtual/block/zram0", 0},
      {"data/block/weird0", 0}};  // "data" is not an ata port
  for (const auto& [device, bus] : cases) {
    fs::create_directories(root / "devices" / device);
    EXPECT_EQ(BusTypeOfBlockDevice((root / "devices" / device).string()), bus) << device;
  }
  const fs::path mmc = root / "devices" / cases[5].first;
  const size_t descriptors = OpenDescriptors();
  for (const auto& [type, bus] : {std::pair{"SD\n", 12u}, std::pair{"MMC\n", 13u}}) {
    WriteFile(mmc / "device" / "type", type);
    EXPECT_EQ(BusTypeOfBlockDevice(mmc.string()), bus) << type;
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  // A partition is judged by its whole disk; a mapped device by the disk beneath it.
  const fs::path partition = root / "devices" / cases[0].first / "sdb1",
                 mapped = root / "devices/virtual/block/dm-0";
  WriteFile(partition / "partition", "1\n");
  fs::create_directories(mapped / "slaves");
  fs::create_directory_symlink(partition, mapped / "slaves" / "sdb1");
  EXPECT_EQ(std::make_tuple(BusTypeOfBlockDevice(partition.string()),
                            BusTypeOfBlockDevice(mapped.string()), BusTypeOfBlockDevice("")),
            std::make_tuple(7u, 7u, 0u));
  // A path yet to be made is judged by the disk of its nearest existing folder.
  uint32_t here = 999, below = 999;
  ASSERT_TRUE(QueryStorageBusType(Wide(root.string()), &here) == BusQuery::kOk &&
              QueryStorageBusType(Wide((root / "not/yet/made").string()), &below) == BusQuery::kOk);
  EXPECT_TRUE(here == below && QueryStorageBusType(WString(), &here) == BusQuery::kInvalidHandle);
  // Judged by /proc (no disk at all), not by some other folder such as the current one.
  EXPECT_TRUE(QueryStorageBusType(Wide("/proc/not/yet"), &below) ==
                  QueryStorageBusType(u"/proc", &here) &&
              below == here);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Minutes since the epoch of a calendar time read as UTC.
long long EpochMinutes(const CalendarTime& t) {
  std::tm fields{0, t.minute, t.hour, t.day, t.month - 1, t.year - 1900, 0, 0, 0, 0, nullptr};
  return static_cast<long long>(timegm(&fields)) / 60;
}

// The bias of the moment, daylight saving and half hours included, turns the local time it
// came with into UTC exactly, in every zone and season. In a child: the zone is changed.
TEST(Clock, LocalTimeAndBiasGiveUtcInEveryZone) {
  lumo::testing::RunInChild([] {
    int32_t bias = 12345;
    for (const char* zone : {"UTC", "Asia/Kolkata", "Asia/Kathmandu", "America/New_York",
                             "America/St_Johns", "AEST-10AEDT-11,J1/0,J365/25"}) {
      setenv("TZ", zone, 1), tzset();
      const long long before = static_cast<long long>(std::time(nullptr)) / 60;
      const CalendarTime t = LocalTimeNow(&bias), local = LocalTimeNow(), utc = UtcTimeNow();
      const long long after = static_cast<long long>(std::time(nullptr)) / 60;
      for (const long long minutes :
           {EpochMinutes(t) + bias, EpochMinutes(local) + bias, EpochMinutes(utc)})
        EXPECT_TRUE(minutes >= before && minutes <= after) << zone << " bias " << bias;
      EXPECT_TRUE(t.dayOfWeek <= 6 && t.second <= 59 && t.milliseconds <= 999) << zone;
    }
    EXPECT_EQ(bias, -660) << "daylight time all year long";
  });
}

}  // namespace
}  // namespace lumo::platform
