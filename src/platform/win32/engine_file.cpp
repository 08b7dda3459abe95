// Engine file operations on Windows: wide-path CreateFileW handles, allocation reservation and
// MoveFileExW.
#include "platform/engine_file.h"

#include <windows.h>
#include <winioctl.h>

#include "platform/long_path.h"

namespace lumo {
namespace platform {
namespace {

WString ForFile(const WString& path) { return PathForFileCall(path, PathKind::kFile); }

// The one conversion of a Win32 error of a file operation to a status code.
int32_t LastErrorStatus() {
  DWORD error = GetLastError();
  return StatusFromWin32(error == 0 ? ERROR_GEN_FAILURE : error);
}

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// Only a file on disk that is neither a reparse point nor a second name of another file may be
// read or written; anything else is refused with access denied.
int32_t CheckPlainFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK) return StatusFromWin32(ERROR_ACCESS_DENIED);
  if (!GetFileInformationByHandle(handle, &info)) return LastErrorStatus();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    return StatusFromWin32(ERROR_ACCESS_DENIED);
  }
  return 0;
}

// CreateFileW that opens a reparse point itself rather than its target; the handle is kept
// only for a plain file.
int32_t OpenPlain(const WString& path, DWORD access, DWORD share, DWORD disposition,
                  HANDLE* out, bool* created) {
  SetLastError(0);
  HANDLE handle = CreateFileW(ForFile(path).c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                                  FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorStatus();
  if (created) *created = disposition == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS;
  int32_t status = CheckPlainFile(handle);
  if (status != 0) {
    CloseHandle(handle);
    return status;
  }
  *out = handle;
  return 0;
}

}  // namespace

EngineFile::~EngineFile() { Close(); }

EngineFile::EngineFile(EngineFile&& other) noexcept
    : handle_(other.handle_), reservedTo_(other.reservedTo_) {
  other.handle_ = nullptr;
  other.reservedTo_ = 0;
}

EngineFile& EngineFile::operator=(EngineFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    reservedTo_ = other.reservedTo_;
    other.handle_ = nullptr;
    other.reservedTo_ = 0;
  }
  return *this;
}

int32_t EngineFile::OpenForAppend(const WString& path, bool truncate, EngineFile* out,
                                  bool* created) {
  HANDLE handle = nullptr;
  bool made = false;
  // CREATE_ALWAYS would empty the file before it is checked: truncation comes afterwards.
  int32_t status = OpenPlain(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, &handle, &made);
  if (status != 0) return status;
  if (created) *created = made;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if ((truncate && !SetEndOfFile(handle)) || !SetFilePointerEx(handle, zero, nullptr, FILE_END)) {
    status = LastErrorStatus();
    CloseHandle(handle);
    return status;
  }
  *out = EngineFile();
  out->handle_ = handle;
  return 0;
}

int32_t EngineFile::OpenForRead(const WString& path, EngineFile* out) {
  HANDLE handle = nullptr;
  int32_t status = OpenPlain(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, &handle, nullptr);
  if (status != 0) return status;
  *out = EngineFile();
  out->handle_ = handle;
  return 0;
}

bool EngineFile::IsOpen() const { return handle_ != nullptr; }

uint64_t EngineFile::Size() const {
  LARGE_INTEGER size;
  if (!handle_ || !GetFileSizeEx(AsHandle(handle_), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

int32_t EngineFile::Write(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), p, chunk, &written, nullptr)) return LastErrorStatus();
    if (written == 0) return StatusFromWin32(ERROR_DISK_FULL);
    p += written;
    length -= written;
  }
  return 0;
}

int32_t EngineFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), p, chunk, &written, &at)) return LastErrorStatus();
    if (written == 0) return StatusFromWin32(ERROR_DISK_FULL);
    p += written;
    offset += written;
    length -= written;
  }
  return 0;
}

int32_t EngineFile::Flush() { return FlushFileBuffers(AsHandle(handle_)) ? 0 : LastErrorStatus(); }

void EngineFile::MarkSparse() {
  DWORD returned = 0;
  DeviceIoControl(AsHandle(handle_), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
}

int32_t EngineFile::Read(void* data, size_t length, size_t* got) {
  DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
  DWORD read = 0;
  if (!ReadFile(AsHandle(handle_), data, chunk, &read, nullptr)) {
    *got = 0;
    return LastErrorStatus();
  }
  *got = read;
  return 0;
}

int32_t EngineFile::Truncate() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(AsHandle(handle_), zero, nullptr, FILE_BEGIN)) return LastErrorStatus();
  if (!SetEndOfFile(AsHandle(handle_))) return LastErrorStatus();
  return 0;
}

int32_t EngineFile::Reserve(uint64_t size) {
  // Allocation, not end of file: the visible size stays the count of bytes written, which is
  // what a later resume continues from.
  FILE_ALLOCATION_INFO info;
  info.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  reservedTo_ = size;
  if (SetFileInformationByHandle(AsHandle(handle_), FileAllocationInfo, &info, sizeof info)) {
    return 0;
  }
  DWORD error = GetLastError();
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
    ReleaseReserve();
    return StatusFromWin32(ERROR_DISK_FULL);
  }
  return 0;  // file systems without reservation still take the data
}

int32_t EngineFile::ReleaseReserve() {
  if (!handle_) return 0;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(handle_), &size)) return LastErrorStatus();
  // The allocation back to the data, and the end of file set there again, which trims it too.
  FILE_ALLOCATION_INFO info;
  info.AllocationSize = size;
  SetFileInformationByHandle(AsHandle(handle_), FileAllocationInfo, &info, sizeof info);
  LARGE_INTEGER here;
  if (!SetFilePointerEx(AsHandle(handle_), size, &here, FILE_BEGIN) ||
      !SetEndOfFile(AsHandle(handle_))) {
    return LastErrorStatus();
  }
  reservedTo_ = 0;
  return 0;
}

int32_t EngineFile::Close() {
  if (!handle_) return 0;
  HANDLE handle = AsHandle(handle_);
  handle_ = nullptr;
  reservedTo_ = 0;
  if (!CloseHandle(handle)) return LastErrorStatus();
  return 0;
}

bool FileSize(const WString& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(ForFile(path).c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

int32_t ReplaceFileWith(const WString& from, const WString& to) {
  if (!MoveFileExW(ForFile(from).c_str(), ForFile(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return LastErrorStatus();
  }
  return 0;
}

int32_t RemoveFile(const WString& path) {
  if (DeleteFileW(ForFile(path).c_str())) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  return StatusFromWin32(error);
}

int32_t MakeDirectories(const WString& path) {
  WString dir = path;
  while (dir.size() > 1 && IsPathSeparator(dir.back())) dir.pop_back();
  if (dir.empty()) return 0;
  DWORD attributes = GetFileAttributesW(ForFile(dir).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : StatusFromWin32(ERROR_PATH_NOT_FOUND);
  }
  // Create each missing component from the top down; a drive or share root already exists.
  DWORD lastError = 0;
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && !IsPathSeparator(dir[pos])) continue;
    WString part = dir.substr(0, pos);
    if (part.size() == 2 && part[1] == L':') continue;
    if (CreateDirectoryW(PathForFileCall(part, PathKind::kDirectoryToCreate).c_str(), nullptr)) {
      continue;
    }
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
      return StatusFromWin32(error);
    }
    if (error == ERROR_ACCESS_DENIED) lastError = error;  // fine for an existing parent
  }
  attributes = GetFileAttributesW(ForFile(dir).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return lastError ? StatusFromWin32(lastError) : LastErrorStatus();
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : StatusFromWin32(ERROR_PATH_NOT_FOUND);
}

int32_t MakeSubdirectories(const WString& base, const WString& relative) {
  WString path = base;
  size_t begin = 0;
  while (begin <= relative.size()) {
    size_t end = begin;
    while (end < relative.size() && !IsPathSeparator(relative[end])) ++end;
    const WString element = relative.substr(begin, end - begin);
    if (element.empty() || element == L"." || element == L"..") {
      return StatusFromWin32(ERROR_INVALID_NAME);
    }
    if (path.empty() || !IsPathSeparator(path.back())) path.push_back(L'\\');
    path += element;
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return LastErrorStatus();
    }
    // A junction or link planted where a folder should be would lead the data out of `base`.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorStatus();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return StatusFromWin32(ERROR_ACCESS_DENIED);
    }
    begin = end + 1;
  }
  return 0;
}

bool FreeSpaceAt(const WString& path, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

}  // namespace platform
}  // namespace lumo
