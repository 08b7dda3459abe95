// What the host can learn of each file it queued: state, result and extended code, the log's
// message for it, bytes and attempts. Kept apart from the progress records, which a progress
// reset empties: a host asks about a failed file after the queue ran dry, and about queued
// files before they start. Keyed by the local path, as GetCompletedFiles names files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "lumo/lumo_downloader.h"
#include "platform/mutex.h"

namespace lumo {

struct FileResultEntry {
  std::string path;
  LumoFileResult result{};
  std::string message;  // the log's failure message; empty unless failed
};

class FileResults {
 public:
  // Oldest finished entries go first past this many, so a host that queues for ever cannot
  // grow the table for ever.
  static constexpr size_t kMaxEntries = 4096;

  // AddDownload (host thread) and a job put back for its second run.
  void Queued(const std::string& path);
  // The job's run begins (worker thread).
  void Started(const std::string& path);
  // One transfer attempt at the file's data (worker thread).
  void Attempted(const std::string& path);
  void SetBytes(const std::string& path, uint64_t received, uint64_t total);
  // The job's end: result 0 is done, anything else failed with message.
  void Finished(const std::string& path, int32_t resultCode, int32_t extendedCode,
                const std::string& message);

  // Copy of a file's entry; an empty path names the file that ran last (or runs). False when
  // there is none.
  bool Find(const std::string& path, FileResultEntry* out) const;
  // Entries in the order their files were first queued.
  size_t Count() const;
  bool At(size_t index, FileResultEntry* out) const;

 private:
  FileResultEntry* EntryFor(const std::string& path) REQUIRES(mutex_);  // creates it
  void Trim() REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::deque<FileResultEntry> entries_ GUARDED_BY(mutex_);  // in queue order
  std::string current_ GUARDED_BY(mutex_);                  // path of the last started file
};

}  // namespace lumo
