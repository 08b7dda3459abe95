// Engine file operations on Linux: POSIX descriptors, fallocate, rename(2).
#include "platform/engine_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace lumo {
namespace platform {
namespace {

// Windows error numbers the engine reports for errno values.
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorDeviceHardware = 483;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorVolumeDirty = 6851;

// The one conversion from errno to a Windows status code. ENOENT means a missing directory
// on the engine's paths (it only creates files), hence "path not found".
int32_t StatusFromErrno(int error) {
  uint32_t win32 = kErrorGenFailure;
  switch (error) {
    case 0: return 0;
    case ENOSPC:
    case EDQUOT: win32 = kErrorDiskFull; break;
    case EACCES:
    case EPERM:
    case EISDIR: win32 = kErrorAccessDenied; break;
    case EROFS: win32 = kErrorWriteProtect; break;
    case ENOENT:
    case ENOTDIR: win32 = kErrorPathNotFound; break;
    case EMFILE:
    case ENFILE: win32 = kErrorTooManyOpenFiles; break;
    case ENOMEM: win32 = kErrorNotEnoughMemory; break;
    case EBUSY:
    case ETXTBSY: win32 = kErrorSharingViolation; break;
    case EEXIST: win32 = kErrorFileExists; break;
    case ENOTEMPTY: win32 = kErrorDirNotEmpty; break;
    case EINVAL: win32 = kErrorInvalidParameter; break;
    case ENAMETOOLONG: win32 = kErrorFilenameTooLong; break;
    case EFBIG: win32 = kErrorFileTooLarge; break;
    case EIO: win32 = kErrorDeviceHardware; break;
    case EUCLEAN: win32 = kErrorVolumeDirty; break;
    default: break;
  }
  return StatusFromWin32(win32);
}

// UTF-16 path to the UTF-8 bytes the kernel takes. An unpaired surrogate or a NUL names no file
// here: the path is refused rather than turned into another one (U+FFFD would write elsewhere).
bool ToNative(const WString& path, std::string* out) {
  return WideToMultiByte(CodePage::kAnsi, path.data(), path.size(), out) &&
         out->find('\0') == std::string::npos;
}

constexpr int32_t kInvalidNameStatus = StatusFromWin32(kErrorInvalidName);
constexpr int32_t kAccessDeniedStatus = StatusFromWin32(kErrorAccessDenied);

int32_t Fail() { return StatusFromErrno(errno); }

// Flags of every engine open: no link is followed, no FIFO or device makes open() wait.
constexpr int kSafeOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// A link where a file was expected (ELOOP), or a FIFO without a reader (ENXIO): refused.
int32_t OpenFailure() {
  return errno == ELOOP || errno == ENXIO || errno == EMLINK ? kAccessDeniedStatus : Fail();
}

// Only a regular file that has no other name may be read or written.
int32_t CheckPlainFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail();
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return kAccessDeniedStatus;
  return 0;
}

// Opens without following a link or blocking and keeps the descriptor only for a plain file.
int32_t OpenPlain(const std::string& native, int flags, int* fd) {
  *fd = ::open(native.c_str(), flags | kSafeOpenFlags, 0644);
  if (*fd < 0) return OpenFailure();
  int32_t status = CheckPlainFile(*fd);
  if (status != 0) {
    ::close(*fd);
    *fd = -1;
  }
  return status;
}

}  // namespace

EngineFile::~EngineFile() { Close(); }

EngineFile::EngineFile(EngineFile&& other) noexcept
    : fd_(other.fd_), reservedTo_(other.reservedTo_) {
  other.fd_ = -1;
  other.reservedTo_ = 0;
}

EngineFile& EngineFile::operator=(EngineFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    reservedTo_ = other.reservedTo_;
    other.fd_ = -1;
    other.reservedTo_ = 0;
  }
  return *this;
}

int32_t EngineFile::OpenForAppend(const WString& path, bool truncate, EngineFile* out,
                                  bool* created) {
  std::string native;
  if (!ToNative(path, &native)) return kInvalidNameStatus;
  if (created) *created = false;
  int fd = -1;
  // An existing file first, so that what this call creates is known; O_TRUNC is never used,
  // as it would empty a file before it is checked.
  int32_t status = OpenPlain(native, O_WRONLY, &fd);
  if (fd < 0 && errno == ENOENT) {
    status = OpenPlain(native, O_WRONLY | O_CREAT | O_EXCL, &fd);
    if (fd >= 0 && created) *created = true;
    if (fd < 0 && errno == EEXIST) status = OpenPlain(native, O_WRONLY, &fd);
  }
  if (fd < 0) return status;
  // Seek rather than O_APPEND so Truncate can rewind the same descriptor.
  if ((truncate && ::ftruncate(fd, 0) != 0) || ::lseek(fd, 0, SEEK_END) < 0) {
    status = Fail();
    ::close(fd);
    return status;
  }
  *out = EngineFile();
  out->fd_ = fd;
  return 0;
}

int32_t EngineFile::OpenForRead(const WString& path, EngineFile* out) {
  std::string native;
  if (!ToNative(path, &native)) return kInvalidNameStatus;
  int fd = -1;
  int32_t status = OpenPlain(native, O_RDONLY, &fd);
  if (fd < 0) return status;
  *out = EngineFile();
  out->fd_ = fd;
  return 0;
}

bool EngineFile::IsOpen() const { return fd_ >= 0; }

uint64_t EngineFile::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

namespace {

// Writes the whole buffer through writeSome(p, length, done), retrying short writes and EINTR;
// a write of nothing means the device is full.
template <typename WriteSome>
int32_t WriteAll(const void* data, size_t length, WriteSome writeSome) {
  const char* p = static_cast<const char*>(data);
  uint64_t done = 0;
  while (length > 0) {
    const ssize_t n = writeSome(p, length, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) {
      errno = ENOSPC;
      return Fail();
    }
    p += n;
    done += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int32_t EngineFile::Write(const void* data, size_t length) {
  return WriteAll(data, length,
                  [this](const char* p, size_t n, uint64_t) { return ::write(fd_, p, n); });
}

int32_t EngineFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  return WriteAll(data, length, [this, offset](const char* p, size_t n, uint64_t done) {
    return ::pwrite(fd_, p, n, static_cast<off_t>(offset + done));
  });
}

int32_t EngineFile::Flush() { return ::fdatasync(fd_) == 0 ? 0 : Fail(); }

// Files here have holes wherever nothing was written.
void EngineFile::MarkSparse() {}

int32_t EngineFile::Read(void* data, size_t length, size_t* got) {
  for (;;) {
    ssize_t n = ::read(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      *got = 0;
      return Fail();
    }
    *got = static_cast<size_t>(n);
    return 0;
  }
}

int32_t EngineFile::Truncate() {
  if (::ftruncate(fd_, 0) != 0) return Fail();
  if (::lseek(fd_, 0, SEEK_SET) < 0) return Fail();
  return 0;
}

int32_t EngineFile::Reserve(uint64_t size) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Fail();
  if (!S_ISREG(st.st_mode) || size <= static_cast<uint64_t>(st.st_size)) return 0;
  if (size > static_cast<uint64_t>(INT64_MAX)) return StatusFromWin32(kErrorFileTooLarge);
  reservedTo_ = size;
  if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) return 0;
  if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
  // ext4 keeps what a failed fallocate took, up to the whole free space.
  int32_t status = Fail();
  ReleaseReserve();
  return status;
}

int32_t EngineFile::ReleaseReserve() {
  if (fd_ < 0) return 0;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Fail();
  if (!S_ISREG(st.st_mode)) return 0;
  // Cutting to the same size drops blocks kept past the end (ext4, XFS, tmpfs); punching a
  // hole covers file systems that keep them through a truncation.
  if (::ftruncate(fd_, st.st_size) != 0) return Fail();
  uint64_t end = std::max<uint64_t>(reservedTo_, static_cast<uint64_t>(st.st_size));
  if (end > static_cast<uint64_t>(st.st_size)) {
    ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, st.st_size,
                static_cast<off_t>(end - static_cast<uint64_t>(st.st_size)));
  }
  reservedTo_ = 0;
  return 0;
}

int32_t EngineFile::Close() {
  if (fd_ < 0) return 0;
  int fd = fd_;
  fd_ = -1;
  reservedTo_ = 0;
  if (::close(fd) != 0 && errno != EINTR) return Fail();
  return 0;
}

bool FileSize(const WString& path, uint64_t* size) {
  struct stat st;
  std::string native;
  if (!ToNative(path, &native)) return false;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

int32_t ReplaceFileWith(const WString& from, const WString& to) {
  std::string nativeFrom, nativeTo;
  if (!ToNative(from, &nativeFrom) || !ToNative(to, &nativeTo)) return kInvalidNameStatus;
  if (::rename(nativeFrom.c_str(), nativeTo.c_str()) != 0) return Fail();
  return 0;
}

int32_t RemoveFile(const WString& path) {
  std::string native;
  if (!ToNative(path, &native)) return kInvalidNameStatus;
  if (::unlink(native.c_str()) != 0 && errno != ENOENT) return Fail();
  return 0;
}

int32_t MakeDirectories(const WString& path) {
  std::string native;
  if (!ToNative(path, &native)) return kInvalidNameStatus;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return 0;
  struct stat st;
  if (::stat(native.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    errno = ENOTDIR;
    return Fail();
  }
  // Create each missing component from the top down.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    std::string part = native.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return Fail();
  }
  if (::stat(native.c_str(), &st) != 0) return Fail();
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return Fail();
  }
  return 0;
}

int32_t MakeSubdirectories(const WString& base, const WString& relative) {
  std::string path, rest;
  if (!ToNative(base, &path) || !ToNative(relative, &rest)) return kInvalidNameStatus;
  size_t begin = 0;
  while (begin <= rest.size()) {
    size_t end = rest.find_first_of("/\\", begin);
    if (end == std::string::npos) end = rest.size();
    const std::string element = rest.substr(begin, end - begin);
    if (element.empty() || element == "." || element == "..") return kInvalidNameStatus;
    if (path.empty() || path.back() != '/') path.push_back('/');
    path += element;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Fail();
    // lstat: a link planted where a folder should be would lead the data out of `base`.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Fail();
    if (!S_ISDIR(st.st_mode)) return kAccessDeniedStatus;
    begin = end + 1;
  }
  return 0;
}

bool FreeSpaceAt(const WString& path, uint64_t* bytes) {
  std::string native;
  struct statvfs vfs;
  if (!ToNative(path, &native) || ::statvfs(native.c_str(), &vfs) != 0) return false;
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  return true;
}

}  // namespace platform
}  // namespace lumo
