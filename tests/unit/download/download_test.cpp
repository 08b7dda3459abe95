// The download job: the URL walk, the monitored transfer (size, options) and the progress
// records the host reads. The stall abort is tested against the real engine (fault matrix).
#include <gtest/gtest.h>

#include <tuple>

#include "download/file_results.h"
#include "download/session_status.h"
#include "download_test_env.h"

namespace lumo {
namespace testing {
namespace {

const std::string kA = "http://127.0.0.1/one/data.bin", kB = "http://localhost/two/data.bin";
const int32_t kDiskFull = static_cast<int32_t>(0x80070070u);
const int32_t kDenied = static_cast<int32_t>(0x80070005u);

using WorkerTest = DownloadTest;

// Two attempts per URL, in order; a full disk ends the walk, a size beyond the free space only
// that URL; the resolved-address fallback (its host look-up) comes after the last failure.
// Refused sessions are released and never polled. The file's result follows the job's.
TEST_F(WorkerTest, TheUrlWalk) {
  const std::string a = kA, b = kB, dns = "dns";  // dns: the fallback looked the host up
  const FakeSessionScript tooBig = Fails(4, kZdlExtClaimExceedsSpace);
  using Urls = std::vector<std::string>;
  for (const auto& [queued, otherwise, code, extendedCode, expected] : std::vector<
           std::tuple<std::vector<FakeSessionScript>, FakeSessionScript, int32_t, int32_t, Urls>>{
           {{}, Fails(3), 3, 0, {a, a, b, b, dns}},
           {{Fails(7)}, Succeeds(), 0, 0, {a, a}},
           {{}, Fails(4, kDiskFull), 4, kDiskFull, {a}},
           {{tooBig}, Succeeds(), 0, 0, {a, b}},
           {{tooBig}, Fails(5, 404), 4, kZdlExtDiskFull, {a, b, b, dns}},
           // Refused: created, started, a running option, a session all the same.
           {{}, {kZdlFail, kZdlOk, kZdlOk, false}, 1, 0, {a, a, b, b, dns}},
           {{}, {kZdlFail, kZdlOk, kZdlOk, true}, 1, 0, {a, a, b, b, dns}},
           {{}, {kZdlOk, kZdlFail, kZdlOk, false}, 1, 0, {a, a, b, b, dns}},
       }) {
    SCOPED_TRACE(expected.size() * 100 + code);
    Renew();
    for (const FakeSessionScript& script : queued) engine_->QueueSession(script);
    engine_->SetDefaultSession(otherwise);
    DownloadJob job = MakeJob({a, b});
    const DownloadResult result = worker_->RunFile(job);
    EXPECT_EQ(std::make_pair(result.code, result.extendedCode), std::make_pair(code, extendedCode));
    Urls created = CreatedUrls();  // the look-up, if any, follows the walk's last attempt
    if (engine_->CountCalls("CreateRequest 1 " + endpoints_.httpDnsUrl) > 0) created.push_back(dns);
    EXPECT_EQ(std::make_tuple(created, engine_->Seen().liveSessions,
                              engine_->CountCalls("GetStatus") == 0, worker_->CompletedFiles()),
              std::make_tuple(expected, size_t{0}, code == 1, code == 0 ? PathOf("data.bin") : ""));
    FileResultEntry entry;
    ASSERT_TRUE(worker_->FileResult(PathOf("data.bin"), &entry));
    EXPECT_EQ(
        std::make_tuple(entry.result.state, entry.result.resultCode, entry.message.empty()),
        std::make_tuple(uint32_t{code == 0 ? kLumoFileDone : kLumoFileFailed}, code, code == 0));
  }
}

// Each failed attempt is reported, then the job, with the engine's detail and the folder's
// facts; a file-system error after a pause is not.
TEST_F(WorkerTest, FailureReports) {
  FakeSessionScript untrusted = Fails(3, 60);
  untrusted.failureDetail = "certificate verification failed";
  Queue({untrusted, untrusted});
  DownloadJob job = MakeJob({kA}, "named.bin");
  EXPECT_EQ(worker_->RunFile(job).code, 3);
  std::vector<Form> reports = SentEvents(kEventRunningException);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[0]["exceptionMsg"].find(untrusted.failureDetail), std::string::npos);
  // The job's own report keeps the message.
  EXPECT_EQ(reports[0]["err"] + "|" + reports[0]["errExtCode"] + "|" + reports[0]["saveDir"] + "|" +
                reports[0]["saveDirExists"] + "|" + reports[2]["err"],
            "certificate verification failed|60|" + saveDir_ + "|1|Network error");
  FakeSessionScript failing = Fails(4, kDenied);
  failing.onPoll = [&](size_t) { worker_->SetRunning(false); };
  engine_->QueueSession(failing);
  job = MakeJob({kA});
  EXPECT_EQ(worker_->RunFile(job).code, 4);
  FileResultEntry paused;
  ASSERT_TRUE(worker_->FileResult(PathOf("data.bin"), &paused));
  EXPECT_EQ(paused.result.state, kLumoFileQueued) << "a paused job runs again";
  EXPECT_EQ(SentEvents(kEventRunningException).size(), 3u);
}

// More bytes than the total are reported and capped, but only against a length the server gave.
TEST_F(WorkerTest, SizeCheckOnlyAgainstALengthTheServerGave) {
  const uint64_t big = 5ull << 32;          // past 4 GiB: high words
  using Events = std::vector<std::string>;  // "fileSize/downloadedFileSize" of each event
  // Two polls' totals and bytes, the events, words 8 to 11 while the last poll is pending.
  for (const auto& [total1, got1, total2, got2, expected, totalMidway, downloadedMidway] :
       std::vector<std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, Events, uint64_t, uint64_t>>{
           {100, 150, 100, 160, {"100/150", "100/160"}, 100, 100},
           {0, 50, 0, 120, {}, 0, 120},  // no length (chunked): the bytes received show
           {100, 50, 0, 160, {}, 100, 160},
           {big, 50, big, big, {}, big, big}}) {
    Renew();
    FakeSessionScript script;
    script.polls = {{3, total1, got1, 5, 5}, {3, total2, got2, 5, 5}, {4, got2, got2, 5, 5}};
    DownloadStatus midway{};
    script.onPoll = [&midway, this](size_t index) {
      if (index == 2) worker_->RefreshStatus(&midway);
    };
    engine_->QueueSession(script);
    DownloadJob job = MakeJob({kA});
    EXPECT_EQ(worker_->RunFile(job).code, 0);
    Events unnormal;
    std::vector<Form> events = SentEvents(kEventFileDownload);
    EXPECT_EQ(events.back()["downloadState"], "DOWNLOADED");
    for (Form& f : events)
      if (f["downloadState"] == "DOWNLOADING_UNNORMAL")
        unnormal.push_back(f["fileSize"] + "/" + f["downloadedFileSize"]);
    EXPECT_EQ(unnormal, expected);
    EXPECT_EQ(std::make_pair(uint64_t{midway.words[9]} << 32 | midway.words[8],
                             uint64_t{midway.words[11]} << 32 | midway.words[10]),
              std::make_pair(totalMidway, downloadedMidway));
  }
}

// A checksum file's plain transfer sets overwrite and no checksum path and sends no progress
// events (its size cap is the source steps' test); a file's transfer gets the host's options.
TEST_F(WorkerTest, EngineOptionsAreReappliedInAscendingHostIdOrder) {
  engine_->QueueSession(Succeeds());
  EXPECT_EQ(worker_->TransferPlain(kA, WideOfUtf8(saveDir_), WideOfUtf8("sum.md5")).code, 0);
  EXPECT_TRUE(engine_->Seen().sessionRequests[0].checksumPathNull);
  EXPECT_TRUE(SentEvents(kEventFileDownload).empty());
  const uint32_t four = 4;
  for (int32_t id : {11, 0}) options_.Set(id, &four, 4);
  for (int32_t id : {8, 4, 3, 2}) options_.Set(id, "option-text", id);
  engine_->QueueSession(Succeeds());
  DownloadJob job = MakeJob({kA});
  worker_->RunFile(job);
  std::vector<std::string> calls;
  for (const std::string& call : engine_->Seen().calls)
    if (call.rfind("SetOption", 0) == 0 || call == "Start") calls.push_back(call);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"SetOption 2 1", "Start", "SetOption 0 4", "SetOption 2 2",
                                      "SetOption 3 3", "SetOption 4 4", "SetOption 5 4", "Start"}));
}

// The progress the host reads: path, status words per file, completed files, the statistics
// sample; a progress reset empties them.
TEST_F(WorkerTest, ProgressRecordsOverSeveralJobs) {
  const std::string slashed = saveDir_ + "/", b = saveDir_ + "/b.bin";
  DownloadStatus during{}, status{};
  FakeSessionScript observed = Succeeds();
  observed.onPoll = [&](size_t index) {
    if (index == 1) worker_->RefreshStatus(&during);
  };
  Queue({observed, Fails(3), Fails(3), Fails(4, kDenied), Fails(4, kDenied)});
  engine_->SetDefaultSession(Succeeds(64));
  // The job's file name, then words 14 to 16 (records, unfinished, overall: 3 network, 2 file
  // system) and the completed files.
  for (const auto& [name, records, unfinished, overall, completed] :
       std::vector<std::tuple<std::string, uint32_t, uint32_t, uint32_t, std::string>>{
           {"b.bin", 1, 0, 0, b},
           {"a.bin", 2, 1, 3, b},
           {"c.bin", 3, 2, 2, b},
           {"a.bin", 3, 1, 2, PathOf("a.bin") + ";" + b},  // a requeued job finds its record again
           {"", 4, 1, 2, PathOf("a.bin") + ";" + b + ";" + PathOf("unnamed")}}) {
    SCOPED_TRACE(name);
    DownloadJob job = MakeJob({name.empty() ? "http://127.0.0.1/dl/" : kA}, name,
                              name == "b.bin" ? &slashed : nullptr);
    worker_->RunFile(job);
    worker_->RefreshStatus(&status);
    const std::string path = name == "b.bin" ? b : PathOf(name.empty() ? "unnamed" : name);
    EXPECT_EQ(
        std::make_tuple(std::vector<uint32_t>(status.words + 14, status.words + 17),
                        worker_->CompletedFiles(), worker_->CurrentPath()),
        std::make_tuple(std::vector<uint32_t>{records, unfinished, overall}, completed, path));
  }
  EXPECT_EQ(std::make_tuple(during.words[10], during.words[13], during.words[14], during.words[16]),
            std::make_tuple(50u, 10u, 1u, 1u));
  worker_->SampleStatistics();
  const std::string sample = SentEvents(kEventDownloadStatistics).at(0).at("statistics_msg");
  EXPECT_NE(sample.find(PathOf("unnamed") + ",total=64,complete=64;"), std::string::npos);
  worker_->ResetWorker();
  worker_->RefreshStatus(&status);
  EXPECT_EQ(std::to_string(status.words[14]) + worker_->CurrentPath() + worker_->CompletedFiles(),
            "0");
}

// The per-file table keeps its bound by dropping finished files first, the oldest of them.
TEST(FileResults, BoundDropsFinishedFilesFirst) {
  const size_t kMaxEntries = FileResults::kMaxEntries;
  FileResults results;
  results.Queued("waiting");
  results.Finished("done", 0, 0, "");
  for (size_t i = 0; i < kMaxEntries - 1; ++i) results.Queued("q" + std::to_string(i));
  FileResultEntry entry;
  EXPECT_EQ(std::make_tuple(results.Count(), results.Find("waiting", &entry),
                            results.Find("done", &entry), results.At(kMaxEntries, &entry)),
            std::make_tuple(kMaxEntries, true, false, false));
}

TEST(SessionStatus, NamesAndDiskFailures) {
  EXPECT_EQ(StatusName(kZdlStatusDownloaded) + StatusName(9), "Downloaded9");
  // The job's code and extended code, whether that is a disk failure, the run state it gives.
  for (const auto& [code, extended, disk, runState] :
       std::vector<std::tuple<int32_t, uint32_t, bool, uint32_t>>{{4, 0x80070070u, true, 5},
                                                                  {4, 0x80071AC3u, true, 6},
                                                                  {4, 0x800701E3u, true, 7},
                                                                  {4, 0x80070005u, false, 0},
                                                                  {3, 0x80070070u, false, 5}}) {
    const int32_t ext = static_cast<int32_t>(extended);
    EXPECT_EQ(std::make_pair(IsDiskFailure({code, ext}), RunStateForDiskFailure(ext)),
              std::make_pair(disk, runState));
  }
}

}  // namespace
}  // namespace testing
}  // namespace lumo
