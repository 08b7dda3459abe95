#include "source/checksum_step.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "base/file_name.h"
#include "base/url_helpers.h"
#include "base/worker_identity.h"
#include "machine/storage_bus.h"
#include "platform/engine_file.h"
#include "base/text_conversion.h"
#include "base/download_job.h"
#include "base/log.h"
#include "source/http_dns_resolver.h"
#include "source/resolved_address_download.h"
#include "source/transfers.h"
#include "source/url_walk.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

const char kOpenFileError[] = "Open file error";
const char kIllegalError[] = "Illegal checksum file";
const char kChecksumFolderName[] = "checksum";
const char kProbeName[] = "write.probe";

constexpr size_t kReadChunk = 10240;
// Set-aside copies kept per checksum file name; older ones are removed.
constexpr size_t kKeptAsideCopies = 8;
constexpr size_t kTimestampDigits = 17;

// True when name is base + "." + a compact time stamp: one of base's set-aside copies.
bool IsAsideCopyOf(const WString& name, const WString& base) {
  if (name.size() != base.size() + 1 + kTimestampDigits ||
      name.compare(0, base.size(), base) != 0 || name[base.size()] != '.') {
    return false;
  }
  for (size_t i = base.size() + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

WString Widened(const char* text) {
  WString out;
  for (; *text != 0; ++text) out.push_back(static_cast<WChar>(static_cast<unsigned char>(*text)));
  return out;
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

ChecksumStep::ChecksumStep(Transfers& transfers, HttpDnsResolver& resolver,
                           ResolvedAddressDownload& resolvedDownload, WString exeDir,
                           std::string cdnHost, const WorkerIdentity& identity, Reporter& reporter)
    : transfers_(transfers),
      resolver_(resolver),
      resolvedDownload_(resolvedDownload),
      exeDir_(std::move(exeDir)),
      cdnHost_(std::move(cdnHost)),
      identity_(identity),
      reporter_(reporter) {}

WString ChecksumStep::ChecksumFolder(const WString& exeDir) {
  WString folder = exeDir;
  if (folder.empty() || !platform::IsPathSeparator(folder.back())) {
    folder.push_back(static_cast<WChar>(platform::kPathSeparator));
  }
  folder += Widened(kChecksumFolderName);
  folder.push_back(static_cast<WChar>(platform::kPathSeparator));
  return folder;
}

std::string ChecksumStep::TooLargeText(const std::string& where) {
  return FormatText("Checksum file refused, it is larger than %llu bytes: %s",
                    static_cast<unsigned long long>(kZdlMaxChecksumFileBytes), where.c_str());
}

void ChecksumStep::SetFileAside(const WString& path) {
  if (path.empty()) return;
  platform::RenameFile(path, path + Widened(".") + Widened(CompactTimestamp().c_str()));

  // Every failed or used checksum file leaves a copy: only the newest few of a name stay. The
  // time stamps sort as their texts do.
  size_t cut = path.size();
  while (cut > 0 && !platform::IsPathSeparator(path[cut - 1])) --cut;
  const WString folder = path.substr(0, cut);
  const WString base = path.substr(cut);
  std::vector<WString> copies;
  for (WString& name : platform::ListDirectory(folder.empty() ? Widened(".") : folder)) {
    if (IsAsideCopyOf(name, base)) copies.push_back(std::move(name));
  }
  if (copies.size() <= kKeptAsideCopies) return;
  std::sort(copies.begin(), copies.end());
  for (size_t i = 0; i + kKeptAsideCopies < copies.size(); ++i) {
    platform::DeleteFileAt(folder + copies[i]);
  }
}

int32_t ChecksumStep::CheckChecksumFile(DownloadJob& job) {
  WriteLog(LogLevel::kInfo, "Start to check the checksum file.");
  // A folder that cannot take the file fails every URL alike: say why, once, and try none.
  if (PrepareChecksumFolder() != 0) return kZdlFail;
  const int32_t direct = FetchChecksumFile(job, job.checksumUrls, false);
  if (direct >= 0) return direct;
  const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
  if (!record) return direct;
  WriteLog(LogLevel::kInfo, "Start to check the checksum file from WS DNS resolver.");
  const std::vector<std::string> rewritten =
      ResolvedAddressDownload::RewriteUrlsForAddresses(job.checksumUrls, cdnHost_, *record);
  return FetchChecksumFile(job, rewritten, true);
}

int32_t ChecksumStep::FetchChecksumFile(DownloadJob& job, const std::vector<std::string>& urls,
                                        bool viaResolver) {
  if (urls.empty()) return kZdlFail;
  const WString folder = ChecksumFolder(exeDir_);
  // The transfer writes into the folder; it has to be there first.
  platform::CreateDirectories(folder);
  // Each URL gets the cache buster once, so both attempts ask for the same text.
  std::vector<std::string> requested;
  for (const std::string& url : urls) requested.push_back(AddCacheBuster(url));
  const auto attempt = [&](const std::string& url) {
    const DownloadResult result = transfers_.TransferPlain(url, folder, WideOfUtf8(FileNameFromUrl(url)));
    if (viaResolver) resolvedDownload_.ReportDnsDownload(result.code, url);
    return result;
  };
  // A fetched file with the wrong MD5 is not fetched again: the next URL may hold a good one.
  const auto judge = [&](const std::string& url, const DownloadResult& result) {
    // A file over the limit is no checksum file; the same URL would only send it again.
    if (result.extendedCode == kZdlExtFileTooLarge) return AttemptVerdict::kNextUrl;
    if (result.code != kZdlResultSuccess) return AttemptVerdict::kRetry;
    if (!VerifyChecksumFileMd5(folder + WideOfUtf8(FileNameFromUrl(url)), job.checksumMd5)) {
      return AttemptVerdict::kNextUrl;
    }
    job.checksumFile = folder + WideOfUtf8(FileNameFromUrl(url));
    WriteLog(LogLevel::kInfo, "MD5 check successful for %s, the MD5 is %s", url.c_str(),
             job.checksumMd5.c_str());
    return AttemptVerdict::kDone;
  };
  if (WalkUrls(requested, transfers_, attempt, judge).done) return kZdlOk;
  return kZdlFail;
}

int32_t ChecksumStep::PrepareChecksumFolder() {
  const WString folder = ChecksumFolder(exeDir_);
  int32_t status = platform::MakeDirectories(folder);
  if (status == 0) {
    // A folder that exists may still refuse files (a launcher under Program Files).
    const WString probe = folder + Widened(kProbeName);
    platform::EngineFile file;
    status = platform::EngineFile::OpenForAppend(probe, true, &file);
    if (status == 0) {
      file.Close();
      platform::RemoveFile(probe);
    }
  }
  if (status == 0) return 0;

  const std::string folderText = Utf8Of(folder);
  const std::string reason = platform::SystemErrorText(status);
  const std::string message =
      FormatText("Cannot write to the checksum folder %s, %s", folderText.c_str(), reason.c_str());
  ExceptionEvent event;
  event.exceptionMsg = message;
  event.err = reason;
  event.errExtCode = std::to_string(static_cast<uint32_t>(status));
  event.downloadFileName = folderText;
  event.driverBus = GetStorageBusType(folder.c_str());
  identity_.FillEvent(&event);
  reporter_.EnqueueException(std::move(event));
  WriteLog(LogLevel::kError, "%s", message.c_str());
  return status;
}

bool ChecksumStep::VerifyChecksumFileMd5(WString path, std::string expected) {
  std::unique_ptr<std::FILE, FileCloser> file(platform::OpenFile(path, "rb"));
  if (!file) {
    ReportOpenFileError(path);
    WriteLog(LogLevel::kError, "Cannot open checksum file %s", Utf8Of(path).c_str());
    return false;
  }
  platform::Md5Digest digest;
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kReadChunk]);
  uint64_t total = 0;
  while (true) {
    const size_t got = std::fread(chunk.get(), 1, kReadChunk, file.get());
    if (got > 0) digest.Update(chunk.get(), got);
    total += got;
    if (total > kZdlMaxChecksumFileBytes) {
      // It came faster than the transfer looked at it; it is no use to anyone.
      file.reset();
      platform::DeleteFileAt(path);
      WriteLog(LogLevel::kError, "%s", TooLargeText(Utf8Of(path)).c_str());
      return false;
    }
    if (got < kReadChunk) break;
  }
  // A file that could not be read to its end has no digest worth comparing.
  if (std::ferror(file.get()) != 0) {
    WriteLog(LogLevel::kError, "Cannot read checksum file %s", Utf8Of(path).c_str());
    return false;
  }
  file.reset();

  const std::string current = Lowered(platform::DigestHex(digest.Finish()));
  const std::string expectedLower = Lowered(expected);
  if (current == expectedLower) return true;

  SetFileAside(path);
  ReportIllegalChecksumFile(path, expectedLower, current);
  WriteLog(LogLevel::kError, "MD5 check failed, the current MD5 is : %s, the correct one is %s",
           current.c_str(), expected.c_str());
  return false;
}

void ChecksumStep::ReportOpenFileError(const WString& path) {
  const std::string pathText = Utf8Of(path);
  ExceptionEvent event;
  event.exceptionMsg = "Cannot open file " + pathText;
  event.err = kOpenFileError;
  event.errExtCode = "0";
  event.downloadFileName = pathText;
  event.driverBus = GetStorageBusType(path.c_str());
  identity_.FillEvent(&event);
  reporter_.EnqueueException(std::move(event));
}

void ChecksumStep::ReportIllegalChecksumFile(const WString& path, const std::string& expected,
                                             const std::string& current) {
  const std::string pathText = Utf8Of(path);
  ExceptionEvent event;
  event.exceptionMsg =
      FormatText("Illegal checksum file, the correct md5 is %s, while the current is %s",
                 expected.c_str(), current.c_str());
  event.err = kIllegalError;
  event.errExtCode = "0";
  event.saveDirExists = platform::IsDirectory(path) ? "1" : "0";
  event.downloadFileName = pathText;
  event.driverBus = GetStorageBusType(path.c_str());
  identity_.FillEvent(&event);
  reporter_.EnqueueException(std::move(event));
}

}  // namespace lumo
