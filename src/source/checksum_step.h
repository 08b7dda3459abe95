// The checksum-file step of a job: fetches the job's checksum file into the checksum folder
// beside the host executable, checks its MD5 against the job's expected text, and on success
// leaves its path in the job for every transfer of the data file. When every URL fails, the
// URLs on the CDN host are tried once more over HTTP DNS addresses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumo {

class HttpDnsResolver;
class Reporter;
class ResolvedAddressDownload;
class Transfers;
class WorkerIdentity;
struct DownloadJob;

class ChecksumStep {
 public:
  ChecksumStep(Transfers& transfers, HttpDnsResolver& resolver,
               ResolvedAddressDownload& resolvedDownload, WString exeDir, std::string cdnHost,
               const WorkerIdentity& identity, Reporter& reporter);

  // 0 with job.checksumFile set when a file with the expected MD5 is in place; negative when
  // none could be had (worker thread).
  int32_t CheckChecksumFile(DownloadJob& job);
  // Tries urls in order, two attempts each, until one gives a file with the job's MD5.
  // 0 or 0x80004005.
  int32_t FetchChecksumFile(DownloadJob& job, const std::vector<std::string>& urls,
                            bool viaResolver);
  // MD5 of the file compared with expected, ignoring case only. A mismatching file is set
  // aside and reported; an unopenable or unreadable one is reported; one larger than
  // kZdlMaxChecksumFileBytes is set aside and refused.
  bool VerifyChecksumFileMd5(WString path, std::string expected);

  // Renames path to path + "." + the compact local time stamp; failures are ignored and an
  // empty path changes nothing. Of the copies so set aside for that name, the newest 8 stay.
  static void SetFileAside(const WString& path);
  // exeDir + "checksum" + separator, with a separator in between when exeDir lacks one.
  static WString ChecksumFolder(const WString& exeDir);
  // The one text of a checksum file refused for its size; where is its URL or path.
  static std::string TooLargeText(const std::string& where);

 private:
  // Creates the checksum folder and makes sure a file can be written there; else reports the
  // system's reason (log line and event) and returns its status.
  int32_t PrepareChecksumFolder();
  void ReportOpenFileError(const WString& path);
  void ReportIllegalChecksumFile(const WString& path, const std::string& expected,
                                 const std::string& current);

  Transfers& transfers_;
  HttpDnsResolver& resolver_;
  ResolvedAddressDownload& resolvedDownload_;
  const WString exeDir_;
  const std::string cdnHost_;
  const WorkerIdentity& identity_;
  Reporter& reporter_;
};

}  // namespace lumo
