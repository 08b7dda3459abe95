// File-system operations on UTF-16 paths on Linux (UTF-8 on disk).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

bool ToNative(const WString& path, std::string* out) {
  return !path.empty() && WideToMultiByte(CodePage::kAnsi, path.data(), path.size(), out) &&
         out->find('\0') == std::string::npos;
}

bool StatPath(const WString& path, struct stat* info) {
  std::string native;
  return ToNative(path, &native) && stat(native.c_str(), info) == 0;
}

}  // namespace

bool IsDirectory(const WString& path) {
  struct stat info {};
  return StatPath(path, &info) && S_ISDIR(info.st_mode);
}

// Anything that exists, as a file-attribute query answers.
bool FileExists(const WString& path) {
  struct stat info {};
  return StatPath(path, &info);
}

bool CreateDirectories(const WString& path) {
  std::string native;
  if (!ToNative(path, &native)) return false;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  // Each ancestor in turn; failures are judged by the final test only.
  for (size_t slash = native.find('/', 1); slash != std::string::npos;
       slash = native.find('/', slash + 1)) {
    if (native[slash - 1] == '/') continue;
    mkdir(native.substr(0, slash).c_str(), 0777);
  }
  mkdir(native.c_str(), 0777);
  struct stat info {};
  return stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RenameFile(const WString& from, const WString& to) {
  std::string source;
  std::string target;
  if (!ToNative(from, &source) || !ToNative(to, &target)) return false;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;

  // The file system cannot rename without replacing: a hard link fails on an existing target.
  struct stat info {};
  if (lstat(source.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) {
    if (link(source.c_str(), target.c_str()) == 0) {
      unlink(source.c_str());
      return true;
    }
    if (errno == EEXIST) return false;
  }
  // No hard links either (e.g. FAT): check, then rename.
  if (lstat(target.c_str(), &info) == 0 || errno != ENOENT) return false;
  return rename(source.c_str(), target.c_str()) == 0;
}

bool DeleteFileAt(const WString& path) {
  std::string native;
  return ToNative(path, &native) && unlink(native.c_str()) == 0;
}

std::FILE* OpenFile(const WString& path, const char* mode) {
  std::string native;
  if (mode == nullptr || !ToNative(path, &native)) return nullptr;
  return std::fopen(native.c_str(), mode);
}

std::vector<WString> ListDirectory(const WString& path) {
  std::vector<WString> names;
  std::string native;
  if (!ToNative(path, &native)) return names;
  DIR* directory = opendir(native.c_str());
  if (directory == nullptr) return names;
  while (const struct dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    WString wide;
    if (name == "." || name == ".." ||
        !MultiByteToWide(CodePage::kAnsi, name.data(), name.size(), &wide)) {
      continue;
    }
    names.push_back(std::move(wide));
  }
  closedir(directory);
  return names;
}

bool AppendTextToFile(const WString& path, const std::string& text) {
  std::string native;
  if (!ToNative(path, &native)) return false;
  const int fd = open(native.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat info {};
  bool written = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
  if (written) {
    // One write keeps concurrent appends whole.
    ssize_t n;
    do {
      n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    written = n == static_cast<ssize_t>(text.size());
  }
  close(fd);
  return written;
}

}  // namespace platform
}  // namespace lumo
