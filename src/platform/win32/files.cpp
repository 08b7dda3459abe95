// File-system operations on UTF-16 paths on Windows.
#include <cstdio>
#include <vector>

#include "platform/long_path.h"
#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {
namespace {

DWORD Attributes(const WString& path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES
                      : GetFileAttributesW(PathForFileCall(path, PathKind::kFile).c_str());
}

// GetFullPathNameW's answer (".." resolved, "/" made "\"); empty when it has none.
WString FullPathName(const WString& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return WString();
    if (length < buffer.size()) return WString(buffer.data(), length);
    buffer.resize(length);  // the size needed, the NUL included
  }
}

}  // namespace

WString PathForFileCall(const WString& path, PathKind kind) {
  if (path.empty()) return path;
  WString full = FullPathName(path);
  return !full.empty() && NeedsExtendedLength(full, kind) ? ExtendedLengthForm(full) : path;
}

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
      CreateDirectoryW(
          PathForFileCall(directory.substr(0, at), PathKind::kDirectoryToCreate).c_str(), nullptr);
    }
  }
  CreateDirectoryW(PathForFileCall(directory, PathKind::kDirectoryToCreate).c_str(), nullptr);
  return IsDirectory(directory);
}

// MoveFileW never replaces an existing target.
bool RenameFile(const WString& from, const WString& to) {
  return !from.empty() && !to.empty() &&
         MoveFileW(PathForFileCall(from, PathKind::kFile).c_str(),
                   PathForFileCall(to, PathKind::kFile).c_str()) != 0;
}

bool DeleteFileAt(const WString& path) {
  return !path.empty() && DeleteFileW(PathForFileCall(path, PathKind::kFile).c_str()) != 0;
}

std::FILE* OpenFile(const WString& path, const char* mode) {
  if (path.empty() || mode == nullptr) return nullptr;
  WString wideMode;
  for (const char* c = mode; *c != '\0'; ++c) wideMode.push_back(static_cast<unsigned char>(*c));
  return _wfopen(PathForFileCall(path, PathKind::kFile).c_str(), wideMode.c_str());
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

bool AppendTextToFile(const WString& path, const std::string& text) {
  std::string lines;
  lines.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') lines.push_back('\r');
    lines.push_back(c);
  }
  // FILE_APPEND_DATA alone: every write lands at the end, whole, whoever else appends.
  HANDLE file = CreateFileW(PathForFileCall(path, PathKind::kFile).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool written = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                 info.nNumberOfLinks == 1;
  if (written) {
    DWORD done = 0;
    written = WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &done, nullptr) &&
              done == lines.size();
  }
  CloseHandle(file);
  return written;
}

}  // namespace platform
}  // namespace lumo
