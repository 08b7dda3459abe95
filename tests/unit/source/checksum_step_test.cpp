// The checksum-file step through real job runs: fetching into the checksum folder, the MD5
// check, setting files aside, the resolver pass and the reports.
#include "source/checksum_step.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "source_test_env.h"

namespace lumo {
namespace testing {
namespace {

using Urls = std::vector<std::string>;

const std::string kData = "http://127.0.0.1/pkg/data.bin";
const std::string kSumOne = "http://127.0.0.1/one/sum.md5";
const std::string kSumTwo = "http://127.0.0.1/two/sum.md5";
const std::string kContent = "0123456789abcdef0123456789abcdef  data.bin\n";

class ChecksumTest : public SourceTest {
 protected:
  DownloadJob ChecksumJob(Urls checksumUrls, std::string md5) {
    DownloadJob job = MakeJob({kData});
    job.checksumUrls = std::move(checksumUrls);
    job.checksumMd5 = std::move(md5);
    return job;
  }
  // URLs of the engine sessions that fetched url (its cache-busting parameter aside).
  size_t FetchesOf(const std::string& url) const {
    size_t n = 0;
    for (const std::string& created : CreatedUrls()) n += created.rfind(url + "?t=", 0) == 0;
    return n;
  }
  // Names in the checksum folder that are name + "." + a 17-digit time stamp.
  size_t SetAside(const std::string& name) const {
    size_t n = 0;
    for (const std::string& file : FilesIn(ChecksumDir())) {
      n += file.rfind(name + ".", 0) == 0 && IsTimestampSuffix(file.substr(name.size() + 1));
    }
    return n;
  }
};

TEST(ChecksumPathsTest, FolderAndSafeNames) {
  const auto w = [](const char* text) { return WideOfUtf8(text); };
  const std::string sep(1, platform::kPathSeparator);
  EXPECT_EQ(ChecksumStep::ChecksumFolder(w("/opt/game/")), w(("/opt/game/checksum" + sep).c_str()));
  EXPECT_EQ(ChecksumStep::ChecksumFolder(w("C:\\game\\")), w(("C:\\game\\checksum" + sep).c_str()));
  EXPECT_EQ(ChecksumStep::ChecksumFolder(w(".")), w(("." + sep + "checksum" + sep).c_str()));
}

TEST_F(ChecksumTest, UpperCaseExpectedDigestMatchesAndThePathGoesToEverySession) {
  const std::string path = ChecksumDir() + "sum.md5";
  engine_.QueueSession(Serves(path, kContent));
  engine_.QueueSession(Succeeds());
  const std::string expected = Upper(Md5Of(kContent));
  DownloadJob job = ChecksumJob({kSumOne}, expected);
  EXPECT_FALSE(platform::IsDirectory(WideOfUtf8(ChecksumDir())));

  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(path));

  const std::vector<FakeSessionRequest> sessions = engine_.SessionRequests();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].url.substr(0, kSumOne.size() + 3), kSumOne + "?t=");
  EXPECT_TRUE(sessions[0].checksumPathNull);
  EXPECT_EQ(sessions[0].saveDir, WideOfUtf8(ChecksumDir()));
  EXPECT_EQ(sessions[0].fileName, u"sum.md5");
  EXPECT_EQ(engine_.CountCalls("SetOption 2 1"), 1u);
  EXPECT_EQ(sessions[1].url, kData);
  EXPECT_EQ(sessions[1].checksumPath, WideOfUtf8(path));

  // Used, then set aside after the data download.
  EXPECT_EQ(FilesIn(ChecksumDir()).size(), 1u);
  EXPECT_EQ(SetAside("sum.md5"), 1u);
  EXPECT_TRUE(SentEvents(kEventRunningException).empty());
}

TEST_F(ChecksumTest, TrailingSpaceNeverMatchesAndEveryFileIsSetAside) {
  const std::string sumA = "http://127.0.0.1/a/a.md5";
  const std::string sumB = "http://127.0.0.1/b/b.md5";
  engine_.QueueSession(Serves(ChecksumDir() + "a.md5", kContent));
  engine_.QueueSession(Serves(ChecksumDir() + "b.md5", kContent));
  const std::string md5 = Md5Of(kContent);
  DownloadJob job = ChecksumJob({sumA, sumB}, md5 + " ");

  const DownloadResult result = worker_->RunFile(job);
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.extendedCode, 0);
  EXPECT_TRUE(job.checksumFile.empty());
  EXPECT_EQ(engine_.SessionRequests().size(), 2u);  // no data transfer
  EXPECT_EQ(SetAside("a.md5"), 1u);
  EXPECT_EQ(SetAside("b.md5"), 1u);
  EXPECT_EQ(FilesIn(ChecksumDir()).size(), 2u);
  // The resolver was asked, but found nothing.
  EXPECT_EQ(GetsTo(SourceEndpoints().httpDnsUrl).size(), 1u);

  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0]["err"], "Illegal checksum file");
  EXPECT_EQ(reports[0]["downloadFileName"], ChecksumDir() + "a.md5");
  EXPECT_EQ(reports[1]["downloadFileName"], ChecksumDir() + "b.md5");
  EXPECT_EQ(reports[2]["err"], "Illegal checksum file");  // the job's own report
  EXPECT_TRUE(worker_->CompletedFiles().empty());
}

TEST_F(ChecksumTest, WrongThenRightUnderTheSameName) {
  const std::string path = ChecksumDir() + "sum.md5";
  engine_.QueueSession(Serves(path, "wrong"));
  engine_.QueueSession(Serves(path, kContent));
  engine_.QueueSession(Succeeds());
  DownloadJob job = ChecksumJob({kSumOne, kSumTwo}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(path));
  // The wrong file was set aside at once, the right one after the data download.
  const std::vector<std::string> files = FilesIn(ChecksumDir());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(SetAside("sum.md5"), 2u);
  EXPECT_EQ(ReadFile(ChecksumDir() + files[0]), "wrong");
  EXPECT_EQ(ReadFile(ChecksumDir() + files[1]), kContent);
}

TEST_F(ChecksumTest, UrlThatFailsTwiceIsFetchedExactlyTwice) {
  engine_.QueueSession(Fails(3));
  engine_.QueueSession(Fails(5));
  engine_.QueueSession(Serves(ChecksumDir() + "sum.md5", kContent));
  engine_.QueueSession(Succeeds());
  DownloadJob job = ChecksumJob({kSumOne, kSumTwo}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(FetchesOf(kSumOne), 2u);
  EXPECT_EQ(FetchesOf(kSumTwo), 1u);
  EXPECT_TRUE(GetsTo(SourceEndpoints().httpDnsUrl).empty());
}

TEST_F(ChecksumTest, ResolverPassAfterEveryDirectFailure) {
  const std::string onCdn = "http://localhost/sums/sum.md5";
  SetDnsAnswer(Answer(200, "127.0.0.3 60\n127.0.0.2\n"));
  for (int i = 0; i < 4; ++i) engine_.QueueSession(Fails(3));  // both direct URLs, twice each
  engine_.QueueSession(Fails(3));                              // first address, twice
  engine_.QueueSession(Fails(7));
  engine_.QueueSession(Serves(ChecksumDir() + "sum.md5", kContent));  // second address
  engine_.QueueSession(Succeeds());
  DownloadJob job = ChecksumJob({onCdn, kSumOne}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 0);

  const std::string first = "http://127.0.0.2/localhost/sums/sum.md5";
  const std::string second = "http://127.0.0.3/localhost/sums/sum.md5";
  EXPECT_EQ(FetchesOf(first), 2u);
  EXPECT_EQ(FetchesOf(second), 1u);
  std::vector<Form> events = SentEvents(kEventFileDownloadDns);
  ASSERT_EQ(events.size(), 3u);  // one per attempt
  EXPECT_EQ(events[0]["cdnUrl"].rfind(first + "?t=", 0), 0u);
  EXPECT_EQ(events[2]["cdnUrl"].rfind(second + "?t=", 0), 0u);
  EXPECT_EQ(events[2]["success"], "1");
  EXPECT_EQ(job.checksumFile, WideOfUtf8(ChecksumDir() + "sum.md5"));
}

TEST_F(ChecksumTest, EmptyListStillAsksTheResolverAndFails) {
  SetDnsAnswer(Answer(200, "127.0.0.2 60\n"));
  DownloadJob job = ChecksumJob({}, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  EXPECT_TRUE(engine_.SessionRequests().empty());
  EXPECT_EQ(GetsTo(SourceEndpoints().httpDnsUrl).size(), 1u);
}

TEST_F(ChecksumTest, MissingOrUnreadableFileFailsTheCheck) {
  // The transfer claims success, but no file is there.
  engine_.QueueSession(Succeeds());
  // The path is a directory: it opens, but reading it fails; its empty stream must not pass
  // for the empty file's digest.
  platform::CreateDirectories(WideOfUtf8(ChecksumDir() + "two.md5"));
  engine_.QueueSession(Succeeds());
  DownloadJob job =
      ChecksumJob({"http://127.0.0.1/x/one.md5", "http://127.0.0.1/x/two.md5"}, Md5Of(""));
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  EXPECT_TRUE(job.checksumFile.empty());
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_GE(reports.size(), 1u);
  EXPECT_EQ(reports[0]["err"], "Open file error");
  EXPECT_EQ(reports[0]["downloadFileName"], ChecksumDir() + "one.md5");
}

TEST_F(ChecksumTest, ServerChosenNamesStayInTheChecksumFolder) {
  const std::string escaping = "http://127.0.0.1/x/..\\..\\evil.md5";
  engine_.QueueSession(Serves(ChecksumDir() + ".._.._evil.md5", kContent));
  engine_.QueueSession(Serves(ChecksumDir() + "unnamed", kContent));
  engine_.SetDefaultSession(Succeeds());
  DownloadJob job = ChecksumJob({escaping}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(ChecksumDir() + ".._.._evil.md5"));
  EXPECT_EQ(engine_.SessionRequests()[0].fileName, u".._.._evil.md5");

  DownloadJob dots = ChecksumJob({"http://127.0.0.1/x/.."}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(dots).code, 0);
  EXPECT_EQ(dots.checksumFile, WideOfUtf8(ChecksumDir() + "unnamed"));
  DownloadJob slash = ChecksumJob({"http://127.0.0.1/x/"}, Md5Of(kContent));
  engine_.QueueSession(Serves(ChecksumDir() + "unnamed", kContent));
  EXPECT_EQ(worker_->RunFile(slash).code, 0);
  EXPECT_EQ(slash.checksumFile, WideOfUtf8(ChecksumDir() + "unnamed"));
}

TEST_F(ChecksumTest, PauseSkipsTheRemainingChecksumAttempts) {
  FakeSessionScript paused = Fails(3);
  paused.onPoll = [this](size_t) { worker_->SetRunning(false); };
  engine_.QueueSession(paused);
  DownloadJob job = ChecksumJob({kSumOne, kSumTwo}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 1);
  EXPECT_EQ(engine_.SessionRequests().size(), 1u);
}

TEST_F(ChecksumTest, SetAsideCopiesKeepTheNewestEightOfEachName) {
  platform::CreateDirectories(WideOfUtf8(ChecksumDir()));
  auto write = [this](const std::string& name, const std::string& text) {
    std::ofstream(ChecksumDir() + name, std::ios::binary) << text;
  };
  for (int i = 0; i < 10; ++i) write("sum.md5.2001010100000000" + std::to_string(i), "old");
  write("other.md5.20010101000000000", "other");
  write("sum.md5.bak", "not a copy");
  write("sum.md5", "newest");
  ChecksumStep::SetFileAside(WideOfUtf8(ChecksumDir() + "sum.md5"));

  std::vector<std::string> copies;
  for (const std::string& file : FilesIn(ChecksumDir())) {
    if (file.rfind("sum.md5.", 0) == 0 && IsTimestampSuffix(file.substr(8))) {
      copies.push_back(file);
    }
  }
  ASSERT_EQ(copies.size(), 8u);
  EXPECT_EQ(copies.front(), "sum.md5.20010101000000003");  // the three oldest went
  EXPECT_EQ(ReadFile(ChecksumDir() + copies.back()), "newest");
  EXPECT_FALSE(platform::FileExists(WideOfUtf8(ChecksumDir() + "sum.md5")));
  EXPECT_EQ(ReadFile(ChecksumDir() + "other.md5.20010101000000000"), "other");
  EXPECT_EQ(ReadFile(ChecksumDir() + "sum.md5.bak"), "not a copy");
}

// What stands in the checksum folder's way is told with the system's words, and no URL is tried.
TEST_F(ChecksumTest, UnwritableChecksumFolderIsReportedWithItsReason) {
  struct Case {
    const char* why;
    std::function<void()> block;
    int32_t status;
  };
  const std::string folder = ChecksumDir();
  const std::string exe = exeDir_;
  const Case cases[] = {
      {"a file where the folder goes", [exe] { std::ofstream(exe + "checksum") << "x"; },
       static_cast<int32_t>(0x80070003u)},
      {"a folder without write rights",
       [folder] {
         platform::CreateDirectories(WideOfUtf8(folder));
         std::filesystem::permissions(
             folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
       },
       static_cast<int32_t>(0x80070005u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.status == static_cast<int32_t>(0x80070005u) && geteuid() == 0) {
      std::printf("Case skipped, root writes anywhere: %s\n", c.why);
      continue;
    }
    RemoveTree(exe + "checksum");
    c.block();
    const size_t sessionsBefore = engine_.SessionRequests().size();
    const size_t eventsBefore = SentEvents(kEventRunningException).size();
    DownloadJob job = ChecksumJob({kSumOne}, Md5Of(kContent));
    EXPECT_EQ(worker_->RunFile(job).code, 1);
    EXPECT_EQ(engine_.SessionRequests().size(), sessionsBefore);
    const std::string reason = platform::SystemErrorText(c.status);
    ASSERT_FALSE(reason.empty());
    std::vector<Form> reports = SentEvents(kEventRunningException);
    ASSERT_EQ(reports.size(), eventsBefore + 2);
    Form folderReport = reports[eventsBefore];
    EXPECT_EQ(folderReport["err"], reason);
    EXPECT_EQ(folderReport["errExtCode"], std::to_string(static_cast<uint32_t>(c.status)));
    std::error_code ignored;  // the first case's "folder" is a file
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ignored);
  }
}

// A checksum file past 64 MiB: stopped while it comes (claimed or grown), refused when it came
// too fast to be stopped; the next URL is tried, the same one not again.
TEST_F(ChecksumTest, ChecksumFilesPast64MiBAreRefused) {
  constexpr uint64_t kLimit = 64ull << 20;
  FakeSessionScript claimed;
  claimed.polls = {FakePoll{3, kLimit + 1, 1000, 10, 10}};
  FakeSessionScript grown;
  grown.polls = {FakePoll{3, 0, 1000, 10, 10}, FakePoll{3, 0, kLimit + 1, 10, 10}};
  const std::string path = ChecksumDir() + "sum.md5";
  const std::string third = "http://127.0.0.1/three/sum.md5";
  const std::string fourth = "http://127.0.0.1/four/sum.md5";
  engine_.QueueSession(claimed);
  engine_.QueueSession(grown);
  engine_.QueueSession(Serves(path, std::string(kLimit + 1, 'x')));  // one poll: too fast
  engine_.QueueSession(Serves(path, kContent));
  engine_.QueueSession(Succeeds());
  DownloadJob job = ChecksumJob({kSumOne, kSumTwo, third, fourth}, Md5Of(kContent));
  EXPECT_EQ(worker_->RunFile(job).code, 0);
  EXPECT_EQ(job.checksumFile, WideOfUtf8(path));
  EXPECT_EQ(FetchesOf(kSumOne), 1u);
  EXPECT_EQ(FetchesOf(kSumTwo), 1u);
  EXPECT_EQ(FetchesOf(third), 1u);
  EXPECT_EQ(engine_.CountCalls("Abort"), 2u);
  // The big file is gone; only the good one's set-aside copy is left.
  EXPECT_EQ(FilesIn(ChecksumDir()).size(), 1u);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0]["errExtCode"], std::to_string(0x800700DFu));
}

TEST_F(ChecksumTest, SetFileAsideIgnoresWhatCannotBeRenamed) {
  ChecksumStep::SetFileAside(WString());
  ChecksumStep::SetFileAside(WideOfUtf8(ChecksumDir() + "missing"));
  EXPECT_TRUE(FilesIn(ChecksumDir()).empty());
}

}  // namespace
}  // namespace testing
}  // namespace lumo
