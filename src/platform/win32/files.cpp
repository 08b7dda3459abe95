// File-system operations on UTF-16 paths on Windows.
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {
namespace {

DWORD Attributes(const WString& path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
}

}  // namespace

bool IsDirectory(const WString& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Anything that exists, files and directories alike.
bool FileExists(const WString& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool CreateDirectories(const WString& path) {
  WString directory = path;
  while (directory.size() > 1 && IsPathSeparator(directory.back())) directory.pop_back();
  if (directory.empty()) return false;
  // Each ancestor in turn ("C:", "\\server" and the like simply fail); the final test decides.
  for (size_t at = 1; at < directory.size(); ++at) {
    if (IsPathSeparator(directory[at]) && !IsPathSeparator(directory[at - 1])) {
      CreateDirectoryW(directory.substr(0, at).c_str(), nullptr);
    }
  }
  CreateDirectoryW(directory.c_str(), nullptr);
  return IsDirectory(directory);
}

// MoveFileW never replaces an existing target.
bool RenameFile(const WString& from, const WString& to) {
  return !from.empty() && !to.empty() && MoveFileW(from.c_str(), to.c_str()) != 0;
}

bool DeleteFileAt(const WString& path) {
  return !path.empty() && DeleteFileW(path.c_str()) != 0;
}

std::FILE* OpenFile(const WString& path, const char* mode) {
  if (path.empty() || mode == nullptr) return nullptr;
  WString wideMode;
  for (const char* c = mode; *c != '\0'; ++c) wideMode.push_back(static_cast<unsigned char>(*c));
  return _wfopen(path.c_str(), wideMode.c_str());
}

std::vector<WString> ListDirectory(const WString& path) {
  std::vector<WString> names;
  if (path.empty()) return names;
  WString pattern = path;
  if (!IsPathSeparator(pattern.back())) pattern.push_back(L'\\');
  pattern.push_back(L'*');
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const WString name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

}  // namespace platform
}  // namespace lumo
