// One attempt to fetch one URL: an engine session created, configured, started, polled once
// per session poll (and looked at in between for its end) until it ends, and released exactly
// once. Watches for stalls and sizes that do not add up, keeps the file's progress record
// current and sends the progress milestones.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/download_result.h"
#include "base/timing.h"
#include "platform/platform.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class CurrentSession;
class FileRecords;
class JobReports;
class OptionStore;
class Signal;

// What the attempt knows of the job it belongs to.
struct TransferTarget {
  std::string recordKey;     // local path of the file's progress record; empty: none
  std::string saveDirText;   // the job's save directory, UTF-8
  std::string fileNameText;  // the worker's file name text
};

// One GetStatus answer.
struct SessionPoll {
  int32_t status = kZdlStatusInit;
  uint64_t total = 0;
  uint64_t downloaded = 0;
  uint32_t averageSpeed = 0;
  uint32_t currentSpeed = 0;
};

class SessionHold;

class TransferMonitor {
 public:
  TransferMonitor(const Timing& timing, IZDownloadService* downloads, CurrentSession& current,
                  FileRecords& records, JobReports& reports, const OptionStore& options,
                  const std::atomic<bool>& running, const Signal& quit);

  // The data file: the host's engine options re-applied, status changes logged, progress
  // record, milestones and size check.
  DownloadResult TransferFromUrl(const std::string& url, const WString& checksumPath,
                                 const WString& saveDir, const WString& fileName,
                                 const TransferTarget& target);
  // The checksum file: no checksum path, engine option 2 (overwrite) set, no record, no
  // milestones, no status log.
  DownloadResult TransferPlain(const std::string& url, const WString& saveDir,
                               const WString& fileName, const TransferTarget& target);

 private:
  // Waits for the next counted poll of session: the look at the end of one session poll, or an
  // earlier look (one per session look) that finds the session finished, so a short transfer
  // ends without waiting out the interval. Looks at an unfinished session in between are not
  // polls: they change nothing. False when the worker is quitting; else *poll holds the answer.
  bool NextCountedPoll(SessionHold& session, SessionPoll* poll) const;
  // After a quit cut the polls short: gives the aborted session a bounded moment to reach its
  // final status, then reads its result; a session still running counts as aborted.
  DownloadResult ResultAfterPolls(IZDownloadSession* session) const;
  // Creates, publishes, configures and starts a session; reports a create or start failure
  // (naming reportName) and returns false then, with nothing left to release.
  bool OpenSession(SessionHold& session, const std::string& url, const WChar* checksumPath,
                   const WString& saveDir, const WString& fileName, const std::string& reportName,
                   const std::function<void(IZDownloadSession*)>& configure);
  // The stall check of a counted poll: aborts and reports a session whose downloaded count did
  // not move since the last check. True when it aborted.
  bool CheckStall(IZDownloadSession* session, uint32_t pollCount, const SessionPoll& poll,
                  uint64_t* stallMark, const std::string& url, const WString& saveDir,
                  const std::string& fileNameText);
  // The outcome line (and report) of a finished session.
  void LogOutcome(const DownloadResult& result, const std::string& url, const WString& saveDir,
                  const std::string& fileNameText, const std::string& detail);

  const Timing timing_;
  IZDownloadService* downloads_;
  CurrentSession& current_;
  FileRecords& records_;
  JobReports& reports_;
  const OptionStore& options_;
  const std::atomic<bool>& running_;
  const Signal& quit_;
};

}  // namespace lumo
