#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/long_path.h"
#include "platform/platform.h"
#include "platform/posix/sysfs_bus.h"
#include "support/scratch.h"

namespace lumo {
namespace platform {
namespace {

namespace fs = std::filesystem;

WString Wide(const std::string& utf8) {
  WString out;
  MultiByteToWide(CodePage::kUtf8, utf8.data(), utf8.size(), &out);
  return out;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = lumo::testing::TestDir(); }
  WString At(const std::string& relative) const { return Wide((root_ / relative).string()); }

  fs::path root_;
};

TEST_F(FilesTest, DirectoriesExistenceRenameOpenAndDelete) {
  EXPECT_TRUE(CreateDirectories(At("a/b/c/")));
  EXPECT_TRUE(IsDirectory(At("a/b/c")));
  EXPECT_TRUE(CreateDirectories(At("a/b")));  // existing
  WriteAll(root_ / "file", "x");
  EXPECT_FALSE(CreateDirectories(At("file")));
  EXPECT_FALSE(CreateDirectories(At("file/below")));
  EXPECT_FALSE(CreateDirectories(WString()));
  EXPECT_TRUE(FileExists(At("file")));
  EXPECT_FALSE(IsDirectory(At("file")));
  EXPECT_TRUE(FileExists(At("")));  // the directory itself
  EXPECT_FALSE(FileExists(At("missing")));

  // A rename never replaces an existing target.
  WriteAll(root_ / "from", "new");
  EXPECT_FALSE(RenameFile(At("from"), At("file")));
  EXPECT_EQ(ReadAll(root_ / "file"), "x");
  EXPECT_TRUE(RenameFile(At("from"), At("free")));
  EXPECT_EQ(ReadAll(root_ / "free"), "new");
  EXPECT_FALSE(RenameFile(At("from"), At("again")));

  const WString name = At("caf\xc3\xa9-\xe4\xb8\xad.txt");
  std::FILE* file = OpenFile(name, "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("data", file);
  std::fclose(file);
  EXPECT_EQ(ReadAll(root_ / "caf\xc3\xa9-\xe4\xb8\xad.txt"), "data");
  EXPECT_EQ(OpenFile(At("missing"), "rb"), nullptr);
  EXPECT_TRUE(DeleteFileAt(name));
  EXPECT_FALSE(DeleteFileAt(name));
  EXPECT_FALSE(DeleteFileAt(At("")));  // directories are not files
}

// What a Win32 file call is handed for a full path: the path itself below the call's limit, its
// extended-length form from it.
TEST(LongPath, ExtendedFormFromTheLimitOfEachKindOfCall) {
  const auto handed = [](const std::string& full, PathKind kind) {
    const WString path = Wide(full);
    return NeedsExtendedLength(path, kind) ? ExtendedLengthForm(path) : path;
  };
  const std::string dir247 = "C:\\" + std::string(244, 'd');  // 247 characters
  const std::string file259 = "C:\\" + std::string(256, 'f');
  const std::string share = "\\\\srv\\share\\" + std::string(250, 's');
  struct Case {
    std::string full;
    PathKind kind;
    std::string expected;
  };
  const Case cases[] = {
      {dir247, PathKind::kDirectoryToCreate, dir247},
      {dir247 + "d", PathKind::kDirectoryToCreate, "\\\\?\\" + dir247 + "d"},
      {dir247 + "d", PathKind::kFile, dir247 + "d"},
      {file259, PathKind::kFile, file259},
      {file259 + "f", PathKind::kFile, "\\\\?\\" + file259 + "f"},
      {"C:/a/" + std::string(260, 'b'), PathKind::kFile, "\\\\?\\C:\\a\\" + std::string(260, 'b')},
      {share, PathKind::kFile, "\\\\?\\UNC\\srv\\share\\" + std::string(250, 's')},
      {"\\\\?\\" + file259 + "f", PathKind::kFile, "\\\\?\\" + file259 + "f"},
      {"\\\\.\\pipe\\" + std::string(300, 'p'), PathKind::kFile,
       "\\\\.\\pipe\\" + std::string(300, 'p')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(handed(c.full, c.kind), Wide(c.expected)) << c.full.size() << " " << c.full;
  }
}

// The log's way of writing: a link, a FIFO or a second name planted under the log's name is
// neither written through nor waited on.
TEST_F(FilesTest, AppendTextToFileWritesOnlyAPlainFileOfItsOwn) {
  EXPECT_TRUE(AppendTextToFile(At("x.log"), "one\n"));
  EXPECT_TRUE(AppendTextToFile(At("x.log"), "two\n"));
  EXPECT_EQ(ReadAll((root_ / "x.log").string()), "one\ntwo\n");

  WriteAll(root_ / "victim", "precious");
  fs::create_symlink(root_ / "victim", root_ / "link.log");
  fs::create_hard_link(root_ / "victim", root_ / "second.log");
  ASSERT_EQ(::mkfifo((root_ / "fifo.log").c_str(), 0600), 0);
  for (const char* name : {"link.log", "second.log", "fifo.log"}) {
    EXPECT_FALSE(AppendTextToFile(At(name), "injected\n")) << name;
  }
  EXPECT_EQ(ReadAll(root_ / "victim"), "precious");
  EXPECT_TRUE(fs::is_symlink(root_ / "link.log"));
}

TEST_F(FilesTest, BusTypeOfARealPathAndOfItsMissingChildAgree) {
  uint32_t here = 999;
  ASSERT_EQ(QueryStorageBusType(At(""), &here), BusQuery::kOk);
  uint32_t below = 999;
  ASSERT_EQ(QueryStorageBusType(At("not/yet/created"), &below), BusQuery::kOk);
  EXPECT_EQ(here, below);
  EXPECT_EQ(QueryStorageBusType(WString(), &here), BusQuery::kInvalidHandle);
}

// A fake sysfs device tree: the bus is told from the path of the disk's device directory.
TEST_F(FilesTest, SysfsDevicePathsMapToWindowsBusTypes) {
  struct Case {
    const char* device;
    uint32_t bus;
  };
  const Case cases[] = {
      {"devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", 7},
      {"devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", 11},
      {"devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", 17},
      {"devices/pci0000:00/0000:00:02.0/virtio1/block/vda", 14},
      {"devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", 1},
      {"devices/platform/sdhci/mmc_host/mmc0/mmc0:0001/block/mmcblk0", 13},
      {"devices/virtual/block/loop3", 15},
      {"devices/virtual/block/md0", 8},
      {"devices/virtual/block/zram0", 0},
      {"devices/data/block/weird0", 0},  // "data" is not an ata port
  };
  for (const Case& c : cases) {
    fs::create_directories(root_ / c.device);
    EXPECT_EQ(BusTypeOfBlockDevice((root_ / c.device).string()), c.bus) << c.device;
  }
  fs::create_directories(root_ / cases[5].device / "device");
  WriteAll(root_ / cases[5].device / "device" / "type", "SD\n");
  EXPECT_EQ(BusTypeOfBlockDevice((root_ / cases[5].device).string()), 12u);
  WriteAll(root_ / cases[5].device / "device" / "type", "MMC\n");
  EXPECT_EQ(BusTypeOfBlockDevice((root_ / cases[5].device).string()), 13u);

  // A partition is judged by its whole disk; a mapped device by the disk beneath it.
  const fs::path usbPartition = root_ / cases[0].device / "sdb1";
  fs::create_directories(usbPartition);
  WriteAll(usbPartition / "partition", "1\n");
  EXPECT_EQ(BusTypeOfBlockDevice(usbPartition.string()), 7u);
  const fs::path mapped = root_ / "devices/virtual/block/dm-0";
  fs::create_directories(mapped / "slaves");
  fs::create_directory_symlink(usbPartition, mapped / "slaves" / "sdb1");
  EXPECT_EQ(BusTypeOfBlockDevice(mapped.string()), 7u);
  EXPECT_EQ(BusTypeOfBlockDevice(""), 0u);
}

}  // namespace
}  // namespace platform
}  // namespace lumo
