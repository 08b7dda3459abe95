// Progress records and the 18-word status record.
#include "download/file_records.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "platform/platform.h"

namespace lumo {
namespace {

std::string Key(FileRecords& records, const std::string& dir, const std::string& name) {
  records.SetCurrentTexts(dir, name);
  std::string key;
  EXPECT_TRUE(records.RecordFor(dir, name, &key));
  return key;
}

void SetResult(FileRecords& records, const std::string& key, int32_t result, uint64_t total) {
  records.Edit(key, [&](LUMODOWNLOAD_FILE& r) {
    r.result = result;
    r.totalBytes = total;
    r.downloadedBytes = total / 2;
  });
}

TEST(FileRecords, LocalPathKeepsAnExistingTrailingSeparator) {
  const std::string sep(1, platform::kPathSeparator);
  EXPECT_EQ(LocalPathOf("/d/", "a.bin"), "/d/a.bin");
  EXPECT_EQ(LocalPathOf("C:\\d\\", "a.bin"), "C:\\d\\a.bin");
  EXPECT_EQ(LocalPathOf("/d", "a.bin"), "/d" + sep + "a.bin");
  EXPECT_EQ(LocalPathOf("", "a.bin"), "");
  EXPECT_EQ(LocalPathOf("/d", ""), "");
}

TEST(FileRecords, ProgressPathWithAndWithoutSeparator) {
  FileRecords records;
  EXPECT_EQ(records.CurrentPath(), "");
  records.SetCurrentTexts("/d/", "a.bin");
  EXPECT_EQ(records.CurrentPath(), "/d/a.bin");
  records.SetCurrentTexts("/d", "a.bin");
  EXPECT_EQ(records.CurrentPath(), std::string("/d") + platform::kPathSeparator + "a.bin");
  records.SetCurrentTexts("", "a.bin");  // no save directory: the name alone
  EXPECT_EQ(records.CurrentPath(), "a.bin");
  std::string key = "untouched";
  EXPECT_FALSE(records.RecordFor("", "a.bin", &key));  // but no record for it
  EXPECT_EQ(key, "untouched");
  records.SetCurrentTexts("/d", "");
  EXPECT_EQ(records.CurrentPath(), "");
}

TEST(FileRecords, StatusWordsForMixedResults) {
  FileRecords records;
  DownloadStatus status;
  records.Refresh(&status);
  for (uint32_t word : status.words) EXPECT_EQ(word, 0u);

  const std::string running = Key(records, "/d", "r.bin");
  records.Refresh(&status);
  EXPECT_EQ(status.words[14], 1u);
  EXPECT_EQ(status.words[15], 1u);  // result 9: under way
  EXPECT_EQ(status.words[16], 1u);

  SetResult(records, running, 0, 0x100000010ull);  // over 32 bits: the high word is used
  SetResult(records, Key(records, "/d", "n.bin"), 3, 10);
  records.Refresh(&status);
  EXPECT_EQ(status.words[8], 0x1Au);
  EXPECT_EQ(status.words[9], 1u);
  EXPECT_EQ(status.words[10], 0x80000008u + 5u);
  EXPECT_EQ(status.words[11], 0u);
  EXPECT_EQ(status.words[14], 2u);
  EXPECT_EQ(status.words[15], 1u);
  EXPECT_EQ(status.words[16], 3u);

  SetResult(records, Key(records, "/d", "f.bin"), 4, 0);
  records.SetLastSpeeds(7, 9);
  records.Refresh(&status);
  EXPECT_EQ(status.words[12], 7u);
  EXPECT_EQ(status.words[13], 9u);
  EXPECT_EQ(status.words[14], 3u);
  EXPECT_EQ(status.words[15], 2u);
  EXPECT_EQ(status.words[16], 2u);
  for (int w : {0, 1, 2, 3, 4, 5, 6, 7, 17}) EXPECT_EQ(status.words[w], 0u) << w;
}

TEST(FileRecords, CompletedFilesInPathOrderAndStatisticsText) {
  FileRecords records;
  SetResult(records, Key(records, "/d/", "b.bin"), 0, 4);
  SetResult(records, Key(records, "/d/", "c.bin"), 6, 8);
  SetResult(records, Key(records, "/d/", "a.bin"), 0, 2);
  EXPECT_EQ(records.CompletedFiles(), "/d/a.bin;/d/b.bin");
  EXPECT_EQ(records.StatisticsText(),
            "/d/a.bin,total=2,complete=1;/d/b.bin,total=4,complete=2;"
            "/d/c.bin,total=8,complete=4;");
}

TEST(FileRecords, ResetEmptiesEverythingAndEditsRecreate) {
  FileRecords records;
  const std::string key = Key(records, "/d/", "a.bin");
  SetResult(records, key, 0, 4);
  records.SetLastSpeeds(1, 2);
  records.Reset();
  DownloadStatus status;
  records.Refresh(&status);
  for (uint32_t word : status.words) EXPECT_EQ(word, 0u);
  EXPECT_EQ(records.CurrentPath(), "");
  EXPECT_EQ(records.CompletedFiles(), "");
  EXPECT_EQ(records.StatisticsText(), "");
  // A transfer still under way after the reset finds its record again, as a fresh one.
  records.Edit(key, [](LUMODOWNLOAD_FILE& r) { r.downloadedBytes = 3; });
  LUMODOWNLOAD_FILE copy;
  ASSERT_TRUE(records.Read(key, &copy));
  EXPECT_EQ(copy.result, kResultPending);
  EXPECT_EQ(copy.downloadedBytes, 3u);
}

}  // namespace
}  // namespace lumo
