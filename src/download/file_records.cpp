#include "download/file_records.h"

#include "base/result_codes.h"
#include "base/text_format.h"
#include "platform/platform.h"

namespace lumo {
namespace {

const char kCompletedSeparator[] = ";";

constexpr uint32_t kOverallAllDone = 0;
constexpr uint32_t kOverallOtherFailure = 1;
constexpr uint32_t kOverallFileSystem = 2;
constexpr uint32_t kOverallNetwork = 3;

}  // namespace

std::string LocalPathOf(const std::string& saveDirText, const std::string& fileNameText) {
  if (saveDirText.empty() || fileNameText.empty()) return std::string();
  std::string path = saveDirText;
  if (!platform::IsPathSeparator(static_cast<unsigned char>(path.back()))) {
    path.push_back(platform::kPathSeparator);
  }
  return path + fileNameText;
}

FileRecords::FileRecords() : status_{} {}

void FileRecords::SetCurrentTexts(std::string saveDirText, std::string fileNameText) {
  MutexLock lock(mutex_);
  saveDirText_ = std::move(saveDirText);
  fileNameText_ = std::move(fileNameText);
}

std::string FileRecords::CurrentPath() const {
  MutexLock lock(mutex_);
  if (fileNameText_.empty()) return std::string();
  if (saveDirText_.empty()) return fileNameText_;
  return LocalPathOf(saveDirText_, fileNameText_);
}

bool FileRecords::RecordFor(const std::string& saveDirText, const std::string& fileNameText,
                            std::string* key) {
  std::string path = LocalPathOf(saveDirText, fileNameText);
  if (path.empty()) return false;
  MutexLock lock(mutex_);
  std::unique_ptr<LUMODOWNLOAD_FILE>& record = records_[path];
  if (!record) {
    record.reset(new LUMODOWNLOAD_FILE());
    record->result = kResultPending;
  }
  *key = std::move(path);
  return true;
}

void FileRecords::Edit(const std::string& key,
                       const std::function<void(LUMODOWNLOAD_FILE&)>& edit) {
  if (key.empty()) return;
  MutexLock lock(mutex_);
  std::unique_ptr<LUMODOWNLOAD_FILE>& record = records_[key];
  if (!record) {
    record.reset(new LUMODOWNLOAD_FILE());
    record->result = kResultPending;
  }
  edit(*record);
}

bool FileRecords::Read(const std::string& key, LUMODOWNLOAD_FILE* out) const {
  *out = LUMODOWNLOAD_FILE();
  MutexLock lock(mutex_);
  auto found = records_.find(key);
  if (found == records_.end() || !found->second) return false;
  *out = *found->second;
  return true;
}

void FileRecords::SetLastSpeeds(uint32_t averageSpeed, uint32_t currentSpeed) {
  MutexLock lock(mutex_);
  status_.words[kLumoWordAverageSpeed] = averageSpeed;
  status_.words[kLumoWordCurrentSpeed] = currentSpeed;
}

void FileRecords::Refresh(DownloadStatus* out) {
  MutexLock lock(mutex_);
  uint64_t total = 0;
  uint64_t downloaded = 0;
  uint32_t unfinished = 0;
  bool anyFileSystem = false;
  bool anyNetwork = false;
  for (const auto& entry : records_) {
    const LUMODOWNLOAD_FILE* record = entry.second.get();
    if (record == nullptr) continue;
    total += record->totalBytes;
    downloaded += record->downloadedBytes;
    if (record->result != 0) ++unfinished;
    anyFileSystem = anyFileSystem || record->result == 4;
    anyNetwork = anyNetwork || record->result == 3;
  }
  uint32_t* words = status_.words;
  words[kLumoWordTotalLow] = static_cast<uint32_t>(total);
  words[kLumoWordTotalHigh] = static_cast<uint32_t>(total >> 32);
  words[kLumoWordDownloadedLow] = static_cast<uint32_t>(downloaded);
  words[kLumoWordDownloadedHigh] = static_cast<uint32_t>(downloaded >> 32);
  words[kLumoWordRecordCount] = static_cast<uint32_t>(records_.size());
  words[kLumoWordUnfinishedCount] = unfinished;
  uint32_t overall = kOverallAllDone;
  if (unfinished != 0) {
    overall =
        anyFileSystem ? kOverallFileSystem : (anyNetwork ? kOverallNetwork : kOverallOtherFailure);
  }
  words[kLumoWordOverallState] = overall;
  if (out != nullptr) *out = status_;
}

std::string FileRecords::StatisticsText() const {
  MutexLock lock(mutex_);
  std::string text;
  for (const auto& entry : records_) {
    const LUMODOWNLOAD_FILE* record = entry.second.get();
    if (record == nullptr) continue;
    text += FormatText("%s,total=%llu,complete=%llu;", entry.first.c_str(),
                       static_cast<unsigned long long>(record->totalBytes),
                       static_cast<unsigned long long>(record->downloadedBytes));
  }
  return text;
}

std::string FileRecords::CompletedFiles() const {
  MutexLock lock(mutex_);
  std::string list;
  for (const auto& entry : records_) {
    if (!entry.second || entry.second->result != 0) continue;
    if (!list.empty()) list += kCompletedSeparator;
    list += entry.first;
  }
  return list;
}

void FileRecords::Reset() {
  MutexLock lock(mutex_);
  saveDirText_.clear();
  fileNameText_.clear();
  status_ = DownloadStatus{};
  records_.clear();
}

}  // namespace lumo
