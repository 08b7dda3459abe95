// The save folder belongs to the user, and to whatever else runs as the user: links, FIFOs and
// second names planted where the engine writes must neither be followed nor block it, and a
// file name must not lead out of the folder. A small full disk (a tmpfs, when the tests run as
// root) shows that announced sizes are checked and reserved room is given back.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

#include "engine_test_support.h"
#include "scripted_server.h"

namespace zdl {
namespace testing {
namespace {

using lumo::services::RawRequest;
using lumo::services::Script;
using lumo::services::ScriptedServer;
using lumo::services::ScriptStep;
using namespace std::chrono_literals;

constexpr char kTag[] = "\"v1\"";
const std::string kData = RandomBytes(200 * 1024, 51);

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A well-behaved server for kData: If-Range honoured, validators sent.
Script ServeData(const RawRequest& request) {
  const std::string range = request.Header("range");
  const bool partial = !range.empty() && request.Header("if-range") == kTag;
  const size_t first = partial ? std::stoul(range.substr(6)) : 0;
  std::vector<std::pair<std::string, std::string>> headers = {
      {"ETag", kTag},
      {"Content-Length", std::to_string(kData.size() - first)},
      {"Connection", "close"}};
  if (partial) {
    headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                              std::to_string(kData.size() - 1) + "/" +
                                              std::to_string(kData.size()));
  }
  return Script{{ScriptedServer::Head(partial ? 206 : 200, headers) + kData.substr(first)}};
}

struct Trap {
  const char* name;
  std::string fileName;
  // Lays the trap in dir (the test's folder; the save folder is dir/save).
  std::function<void(const fs::path& dir)> lay;
  int32_t result;
  int32_t extended;
  // Checks afterwards: what the trap pointed at is untouched, nothing left the save folder.
  std::function<void(const fs::path& dir, const std::vector<RawRequest>& requests)> check;
};

const fs::path kSave = "save";

const Trap kTraps[] = {
    {"PartIsALinkToAnotherFile", "game.pak",
     [](const fs::path& dir) {
       WriteBytes(dir / "victim.txt", "precious");
       fs::create_symlink(dir / "victim.txt", dir / kSave / "game.pak.part");
     },
     kZdlResultFileSystem, kZdlExtAccessDenied,
     [](const fs::path& dir, const std::vector<RawRequest>&) {
       EXPECT_EQ(ReadFile(dir / "victim.txt"), "precious");
       EXPECT_TRUE(fs::is_symlink(dir / kSave / "game.pak.part"));
     }},
    {"PartHasASecondName", "game.pak",
     [](const fs::path& dir) {
       WriteBytes(dir / "other.txt", "precious");
       fs::create_hard_link(dir / "other.txt", dir / kSave / "game.pak.part");
     },
     kZdlResultFileSystem, kZdlExtAccessDenied,
     [](const fs::path& dir, const std::vector<RawRequest>&) {
       EXPECT_EQ(ReadFile(dir / "other.txt"), "precious");
     }},
    // Followed, the link's target would be sent as If-Range and the part resumed.
    {"MetaIsALinkToAValidator", "game.pak",
     [](const fs::path& dir) {
       WriteBytes(dir / kSave / "game.pak.part", kData.substr(0, 1000));
       WriteBytes(dir / "tag.txt", std::string(kTag) + "\n");
       fs::create_symlink(dir / "tag.txt", dir / kSave / "game.pak.part.meta");
     },
     kZdlResultSuccess, 0,
     [](const fs::path& dir, const std::vector<RawRequest>& requests) {
       ASSERT_EQ(requests.size(), 1u);
       EXPECT_EQ(requests[0].Header("if-range"), "");
       EXPECT_EQ(ReadFile(dir / "tag.txt"), std::string(kTag) + "\n");
     }},
    {"MetaOfTwoLinesInjectsNothing", "game.pak",
     [](const fs::path& dir) {
       WriteBytes(dir / kSave / "game.pak.part", kData.substr(0, 1000));
       WriteBytes(dir / kSave / "game.pak.part.meta", std::string(kTag) + "\r\nX-Injected: 1\n");
     },
     kZdlResultSuccess, 0,
     [](const fs::path&, const std::vector<RawRequest>& requests) {
       ASSERT_EQ(requests.size(), 1u);
       EXPECT_EQ(requests[0].Header("x-injected"), "");
       EXPECT_EQ(requests[0].Header("if-range"), "");
     }},
    {"PartIsAFifo", "game.pak",
     [](const fs::path& dir) {
       ASSERT_EQ(::mkfifo((dir / kSave / "game.pak.part").c_str(), 0600), 0);
     },
     kZdlResultFileSystem, kZdlExtAccessDenied, nullptr},
    {"FolderOfTheNameIsALink", "data/game.pak",
     [](const fs::path& dir) {
       fs::create_directories(dir / "outside");
       fs::create_directory_symlink(dir / "outside", dir / kSave / "data");
     },
     kZdlResultFileSystem, kZdlExtAccessDenied,
     [](const fs::path& dir, const std::vector<RawRequest>&) {
       EXPECT_TRUE(fs::is_empty(dir / "outside"));
     }},
};

class SaveFolderTrapsTest : public EngineTest, public ::testing::WithParamInterface<Trap> {};

TEST_P(SaveFolderTrapsTest, AreNotFollowed) {
  const Trap& trap = GetParam();
  ScriptedServer server(ServeData);
  ASSERT_TRUE(server.Start());
  fs::create_directories(dir_ / kSave);
  trap.lay(dir_);

  IZDownloadSession* session = NewSession(server.Url("/game.pak"), dir_ / kSave, trap.fileName);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->Start(), kZdlOk);
  // A blocked open() would never end: bounded, and unblocked (as a failure) if it happens.
  SessionEnd end = WaitForEnd(session, 10s);
  std::thread drain;
  if (end.status != kZdlStatusError && end.status != kZdlStatusDownloaded) {
    const fs::path fifo = dir_ / kSave / (trap.fileName + ".part");
    drain = std::thread([fifo] {
      int fd = ::open(fifo.c_str(), O_RDONLY);
      char buffer[65536];
      while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
      }
      if (fd >= 0) ::close(fd);
    });
    end = WaitForEnd(session, 30s);
  }
  session->Release();
  if (drain.joinable()) drain.join();
  server.Stop();

  EXPECT_EQ(end.result, trap.result);
  EXPECT_EQ(end.extended, trap.extended);
  EXPECT_LT(end.took, 5s);
  if (trap.result == kZdlResultSuccess && trap.fileName == "game.pak") {
    EXPECT_TRUE(ReadFile(dir_ / kSave / "game.pak") == kData);
  }
  if (trap.check) trap.check(dir_, server.Requests());
}

INSTANTIATE_TEST_SUITE_P(Traps, SaveFolderTrapsTest, ::testing::ValuesIn(kTraps),
                         [](const ::testing::TestParamInfo<Trap>& info) {
                           return std::string(info.param.name);
                         });

// A 1 MiB tmpfs: a size the disk cannot hold fails without taking anything, a body without a
// length fills the disk and fails as a full disk, and a cut transfer gives back its room.
TEST_F(EngineTest, SmallFullDisk) {
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "\n**********************************************************************"
                    "\n*** SMALL FULL DISK NOT TESTED: mounting a tmpfs needs root"
                    "\n**********************************************************************";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  auto used = [&small] {
    struct statvfs vfs {};
    ::statvfs(small.c_str(), &vfs);
    return static_cast<uint64_t>(vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize;
  };
  const std::string big = RandomBytes(4 << 20, 52);
  ScriptedServer server([&big](const RawRequest& request) {
    if (request.target == "/claim") {
      return Script{{ScriptedServer::Head(200, {{"Content-Length", std::to_string(big.size())}}),
                     ScriptStep::kHold}};
    }
    if (request.target == "/unknown") {
      return Script{{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big}};
    }
    return Script{{ScriptedServer::Head(
                       200, {{"Content-Length", std::to_string(512 * 1024)}, {"ETag", kTag}}) +
                   big.substr(0, 100 * 1024)}};
  });
  ASSERT_TRUE(server.Start());

  SessionEnd claim = Download(server.Url("/claim"), small, "claim.bin");
  EXPECT_EQ(claim.result, kZdlResultFileSystem);
  EXPECT_EQ(claim.extended, kZdlExtClaimExceedsSpace);
  EXPECT_FALSE(fs::exists(small / "claim.bin.part"));

  SessionEnd unknown = Download(server.Url("/unknown"), small, "unknown.bin");
  EXPECT_EQ(unknown.result, kZdlResultFileSystem);
  EXPECT_EQ(unknown.extended, kZdlExtDiskFull);
  fs::remove(small / "unknown.bin.part");

  const uint64_t before = used();
  SessionEnd cut = Download(server.Url("/cut"), small, "cut.bin");
  EXPECT_EQ(cut.result, kZdlResultNetwork);
  EXPECT_EQ(fs::file_size(small / "cut.bin.part"), 100u * 1024);
  EXPECT_LT(used() - before, 200u * 1024) << "room reserved for the unsent rest is still taken";
  server.Stop();
}

}  // namespace
}  // namespace testing
}  // namespace zdl
