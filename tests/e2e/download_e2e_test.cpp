// Downloads through the built module and engine (the end-to-end build, intervals divided).
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "e2e_support.h"

namespace lumo::e2e {
namespace {

bool FinishedAll(HostedModule& module) {
  return module.PollUntil([&] { return module.RunState() == kLumoRunStateIdle; }, kJobBound);
}

// Each URL ending a host may meet: the name is the one rule's, and the file GetProgress and
// GetCompletedFiles name is the file written, whole.
TEST(DownloadE2E, EveryUrlEndingNamesTheFileThatIsWrittenAndReported) {
  RunInChild([] {
    Scene scene;
    ASSERT_TRUE(scene.services);
    std::string wide;  // "文" 98 times: with "xy.bin" a 300-byte name, cut at a character
    for (int i = 0; i < 98; ++i) wide += "\xE6\x96\x87";
    const std::string utf8 = "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-\xE6\x96\x87.bin";
    struct Row {
      std::string served;  // the file on the server
      std::string url;     // what follows the server's address
      std::string name;    // the name it must get
    };
    const Row rows[] = {
        {"tok.bin", "/tok.bin?token=abc/def", "tok.bin"},
        {"frag.bin", "/frag.bin#frag", "frag.bin"},
        {"ver.bin", "/ver.bin?v=2", "ver.bin"},
        {"a b.bin", "/a%20b.bin", "a%20b.bin"},
        {utf8, "/" + utf8, utf8},
        {"bad\xFF\xC3.bin", "/bad\xFF\xC3.bin", "bad__.bin"},
        {"a:b.bin", "/a:b.bin", "a_b.bin"},
        {"star*.bin", "/star*.bin", "star_.bin"},
        {"x;y.bin", "/x;y.bin", "x_y.bin"},
        {"con.bin", "/con.bin", "_con.bin"},
        {"name.", "/name.", "name"},
        // No file system here holds a 300-byte name: the server serves long.bin for it.
        {"long.bin", "/as/long.bin/" + wide + "xy.bin", wide.substr(0, 78 * 3) + ".bin"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
      WriteRandomFile(scene.files / rows[i].served, 20000 + 37 * i, 100 + static_cast<uint32_t>(i));
    }

    HostedModule module;
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module->Start(), 0);
    std::map<std::string, fs::path> servedFor;  // reported path -> the file served for it
    std::set<std::string> expectedNames;
    for (size_t i = 0; i < std::size(rows); ++i) {
      const Row& row = rows[i];
      SCOPED_TRACE(row.url);
      const std::string expected = (scene.downloads / row.name).string();
      servedFor[expected] = scene.files / row.served;
      expectedNames.insert(row.name);
      // One job at a time (the started worker takes each at once), so GetProgress names this
      // row's file when the queue has run dry.
      ASSERT_EQ(module.Add({scene.base + row.url}, scene.downloads), 0);
      ASSERT_TRUE(module.PollUntil(
          [&] {
            return module.Status().words[kLumoWordRecordCount] == i + 1 &&
                   module.RunState() == kLumoRunStateIdle;
          },
          kJobBound));
      const std::string progressPath = module.ProgressPath();
      EXPECT_EQ(progressPath, expected);
      std::vector<std::string> reported = module.Completed();
      std::set<std::string> completed(reported.begin(), reported.end());
      EXPECT_EQ(completed.size(), i + 1);
      EXPECT_EQ(completed.count(expected), 1u);
      reported.push_back(progressPath);
      for (const std::string& path : reported) {
        const auto served = servedFor.find(path);
        if (served == servedFor.end()) {
          ADD_FAILURE() << "reported " << path << ", which no row expects";
        } else {
          EXPECT_TRUE(SameFiles(path, served->second));
        }
      }
    }
    // Nothing else was written: no file under another name, no partial data left.
    std::set<std::string> written;
    for (const auto& entry : fs::directory_iterator(scene.downloads)) {
      written.insert(entry.path().filename().string());
    }
    EXPECT_EQ(written, expectedNames);
  });
}

struct FileAnswer {
  int32_t code;
  LumoFileResult result{};
  std::string message;
  std::string path;
};

FileAnswer AskFile(ILumoFileResults* results, const std::string& path) {
  FileAnswer answer;
  LumoString message = LumoStringFor(answer.message);
  LumoString found = LumoStringFor(answer.path);
  answer.code = results->GetFileResult(path.empty() ? nullptr : path.c_str(), &answer.result,
                                       &message, &found);
  return answer;
}

TEST(DownloadE2E, PerFileResultsTellEachFilesStateReasonBytesAndAttempts) {
  RunInChild([] {
    Scene scene;
    ASSERT_TRUE(scene.services);
    const uint64_t slowSize = 1024 * 1024;
    WriteRandomFile(scene.files / "done.bin", 300 * 1024, 11);
    WriteRandomFile(scene.files / "slow.bin", slowSize, 12);
    HostedModule module;
    ASSERT_TRUE(module.ok());
    ILumoFileResults* results = nullptr;
    ASSERT_EQ(module->QueryInterface(&IID_ILumoFileResults, reinterpret_cast<void**>(&results)), 0);
    // One object behind both faces: IUnknown through the new face is the downloader itself.
    void* identity = nullptr;
    ASSERT_EQ(results->QueryInterface(&IID_LumoUnknown, &identity), 0);
    EXPECT_EQ(identity, static_cast<void*>(module.operator->()));
    module->Release();

    ASSERT_EQ(module.Add({scene.base + "/done.bin"}, scene.downloads), 0);
    ASSERT_EQ(module.Add({scene.base + "/fault/status=404/gone.bin",
                          scene.base + "/m/b/fault/status=404/gone.bin"},
                         scene.downloads),
              0);
    ASSERT_EQ(module.Add({scene.base + "/fault/rate=400000/slow.bin"}, scene.downloads), 0);
    const std::string done = (scene.downloads / "done.bin").string();
    const std::string gone = (scene.downloads / "gone.bin").string();
    const std::string slow = (scene.downloads / "slow.bin").string();
    EXPECT_EQ(AskFile(results, slow).result.state, kLumoFileQueued);
    ASSERT_EQ(module->Start(), 0);

    // The current file while it runs: live bytes below its total.
    FileAnswer running;
    ASSERT_TRUE(module.PollUntil(
        [&] {
          running = AskFile(results, "");
          return running.path == slow && running.result.bytesReceived > 0;
        },
        kJobBound));
    EXPECT_EQ(running.result.state, kLumoFileRunning);
    EXPECT_LT(running.result.bytesReceived, slowSize);
    ASSERT_TRUE(FinishedAll(module));

    struct Row {
      std::string path;
      int32_t code;
      uint32_t state;
      int32_t resultCode;
      uint64_t bytes;
      uint32_t attempts;  // the failed file runs twice: 2 mirrors x 2 attempts each time
      const char* reason;
    };
    const Row rows[] = {
        {done, kLumoOk, kLumoFileDone, 0, 300 * 1024, 1, ""},
        {gone, kLumoOk, kLumoFileFailed, 5, 0, 8, "File not found in server."},
        {slow, kLumoOk, kLumoFileDone, 0, slowSize, 1, ""},
        {(scene.downloads / "never.bin").string(), kLumoNotFound, 0, 0, 0, 0, ""},
    };
    for (const Row& row : rows) {
      const FileAnswer answer = AskFile(results, row.path);
      ASSERT_EQ(answer.code, row.code) << row.path;
      if (row.code != kLumoOk) continue;
      EXPECT_EQ(answer.path, row.path);
      EXPECT_EQ(answer.result.state, row.state) << row.path;
      EXPECT_EQ(answer.result.resultCode, row.resultCode) << row.path;
      EXPECT_EQ(answer.result.bytesReceived, row.bytes) << row.path;
      EXPECT_EQ(answer.result.attempts, row.attempts) << row.path;
      EXPECT_NE(answer.message.find(row.reason), std::string::npos) << answer.message;
      EXPECT_EQ(answer.message.empty(), row.state != kLumoFileFailed) << row.path;
    }
    uint32_t count = 0;
    EXPECT_EQ(results->GetFileCount(&count), 0);
    EXPECT_EQ(count, 3u);
  });
}

}  // namespace
}  // namespace lumo::e2e
