#include "download/file_results.h"

#include <algorithm>

namespace lumo {

FileResultEntry* FileResults::EntryFor(const std::string& path) {
  for (FileResultEntry& entry : entries_) {
    if (entry.path == path) return &entry;
  }
  entries_.push_back(FileResultEntry{path, LumoFileResult{}, std::string()});
  Trim();
  return &entries_.back();
}

void FileResults::Trim() {
  while (entries_.size() > kMaxEntries) {
    auto finished = std::find_if(entries_.begin(), entries_.end(), [](const FileResultEntry& e) {
      return e.result.state == kLumoFileDone || e.result.state == kLumoFileFailed;
    });
    entries_.erase(finished != entries_.end() ? finished : entries_.begin());
  }
}

void FileResults::Queued(const std::string& path) {
  if (path.empty()) return;
  MutexLock lock(mutex_);
  FileResultEntry* entry = EntryFor(path);
  entry->result.state = kLumoFileQueued;
}

void FileResults::Started(const std::string& path) {
  if (path.empty()) return;
  MutexLock lock(mutex_);
  FileResultEntry* entry = EntryFor(path);
  entry->result.state = kLumoFileRunning;
  entry->result.resultCode = 0;
  entry->result.extendedCode = 0;
  entry->message.clear();
  current_ = path;
}

void FileResults::Attempted(const std::string& path) {
  if (path.empty()) return;
  MutexLock lock(mutex_);
  ++EntryFor(path)->result.attempts;
}

void FileResults::SetBytes(const std::string& path, uint64_t received, uint64_t total) {
  if (path.empty()) return;
  MutexLock lock(mutex_);
  FileResultEntry* entry = EntryFor(path);
  entry->result.bytesReceived = received;
  entry->result.bytesTotal = total;
}

void FileResults::Finished(const std::string& path, int32_t resultCode, int32_t extendedCode,
                           const std::string& message) {
  if (path.empty()) return;
  MutexLock lock(mutex_);
  FileResultEntry* entry = EntryFor(path);
  entry->result.state = resultCode == 0 ? kLumoFileDone : kLumoFileFailed;
  entry->result.resultCode = resultCode;
  entry->result.extendedCode = extendedCode;
  entry->message = resultCode == 0 ? std::string() : message;
}

bool FileResults::Find(const std::string& path, FileResultEntry* out) const {
  MutexLock lock(mutex_);
  const std::string& wanted = path.empty() ? current_ : path;
  for (const FileResultEntry& entry : entries_) {
    if (!wanted.empty() && entry.path == wanted) {
      *out = entry;
      return true;
    }
  }
  return false;
}

size_t FileResults::Count() const {
  MutexLock lock(mutex_);
  return entries_.size();
}

bool FileResults::At(size_t index, FileResultEntry* out) const {
  MutexLock lock(mutex_);
  if (index >= entries_.size()) return false;
  *out = entries_[index];
  return true;
}

}  // namespace lumo
