// Per-file progress records of the current run, the texts of the current file, and the
// 18-word DownloadStatus the host reads. One lock (the worker's record lock) guards all of it:
// the host's threads refresh, sample and reset while the worker thread updates.
//
// Nobody outside keeps a record pointer: the worker thread names its record by the local path
// and every edit looks it up again, so a reset from the host's thread never leaves a dangling
// record behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "lumo/lumo_downloader.h"
#include "platform/mutex.h"

namespace lumo {

struct LUMODOWNLOAD_FILE {
  uint64_t engineInfo[4] = {0, 0, 0, 0};  // GetFileInfo block of the last attempt, not read
  uint64_t totalBytes = 0;                // last non-zero total polled
  uint64_t downloadedBytes = 0;           // last non-zero count polled (capped at a known total)
  uint32_t averageSpeed = 0;
  uint32_t currentSpeed = 0;
  int32_t result = 0;  // kResultPending until the job stores its result
};

// The local path of a file: the directory text, the platform separator unless the text already
// ends in "\" or "/", then the name. Empty when either part is empty: a job without a save
// directory has no defined place, so it gets no record.
std::string LocalPathOf(const std::string& saveDirText, const std::string& fileNameText);

class FileRecords {
 public:
  FileRecords();

  // The current job's save directory and file name texts, both UTF-8.
  void SetCurrentTexts(std::string saveDirText, std::string fileNameText);
  // The path GetProgress shows: empty when there is no file name; the name alone when there is
  // no save directory; the local path otherwise.
  std::string CurrentPath() const;

  // Finds or creates the record of a file's local path (LocalPathOf); false (key untouched)
  // when the path is empty. The worker passes its own copies of the texts, so a reset from the
  // host's thread cannot take the name away between naming the file and finding its record.
  bool RecordFor(const std::string& saveDirText, const std::string& fileNameText, std::string* key);
  // Runs edit on the record of key under the lock, creating it first when a reset removed it
  // while its file was still being fetched. An empty key edits nothing.
  void Edit(const std::string& key, const std::function<void(LUMODOWNLOAD_FILE&)>& edit);
  // Copy of the record of key; false (out zero-filled) when there is none.
  bool Read(const std::string& key, LUMODOWNLOAD_FILE* out) const;
  // Words 12 and 13: the speeds of the last poll of any transfer.
  void SetLastSpeeds(uint32_t averageSpeed, uint32_t currentSpeed);

  // Recomputes the sums and counts and copies all 18 words to out.
  void Refresh(DownloadStatus* out);
  // "<path>,total=<n>,complete=<n>;" for every record in path order.
  std::string StatisticsText() const;
  // Paths of the records holding result 0, in path order, joined by ";".
  std::string CompletedFiles() const;
  // Empties the texts, the status words and the records.
  void Reset();

 private:
  mutable Mutex mutex_;  // the worker's record lock
  std::string saveDirText_ GUARDED_BY(mutex_);
  std::string fileNameText_ GUARDED_BY(mutex_);
  DownloadStatus status_ GUARDED_BY(mutex_);
  std::map<std::string, std::unique_ptr<LUMODOWNLOAD_FILE>> records_ GUARDED_BY(mutex_);
};

}  // namespace lumo
