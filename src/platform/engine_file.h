// File operations of the transfer engine: wide paths, streaming writes, space reservation and
// replace-on-rename. Every failure is reported as the Windows status code of the operation
// (0x8007xxxx, the HRESULT of a Win32 error), so the engine can pass it on as the extended code
// of a file-system result on both platforms. 0 means success.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

namespace lumo {
namespace platform {

// Windows status code of a Win32 error, as HRESULT_FROM_WIN32 builds it.
constexpr int32_t StatusFromWin32(uint32_t error) {
  return error == 0 ? 0 : static_cast<int32_t>((error & 0xFFFFu) | 0x80070000u);
}

// A file opened for sequential writing or reading. Move-only; closes on destruction.
class EngineFile {
 public:
  EngineFile() = default;
  ~EngineFile();
  EngineFile(EngineFile&& other) noexcept;
  EngineFile& operator=(EngineFile&& other) noexcept;
  EngineFile(const EngineFile&) = delete;
  EngineFile& operator=(const EngineFile&) = delete;

  // Opens (creating when missing) for writing at the end of the current data; with truncate,
  // the file is emptied first. *created (when given) tells whether this call made the file.
  // Neither opening follows a link or waits: anything but a regular file with a single name
  // (a symbolic link or reparse point, a FIFO, a device, a hard link to another file) is
  // refused with access denied and left untouched.
  static int32_t OpenForAppend(const WString& path, bool truncate, EngineFile* out,
                               bool* created = nullptr);
  static int32_t OpenForRead(const WString& path, EngineFile* out);

  bool IsOpen() const;
  // Current size in bytes (0 when it cannot be found).
  uint64_t Size() const;
  // Writes every byte or fails.
  int32_t Write(const void* data, size_t length);
  // Writes every byte at `offset`, whatever the position of sequential writes; several threads
  // may write disjoint ranges at once.
  int32_t WriteAt(uint64_t offset, const void* data, size_t length);
  // Data written so far reaches the device before this returns.
  int32_t Flush();
  // Regions never written take no room and cost no zero-filling when a write lands past the
  // end (NTFS fills such gaps at once otherwise). Best effort.
  void MarkSparse();
  // Reads up to length bytes; *got is 0 at the end of the file.
  int32_t Read(void* data, size_t length, size_t* got);
  // Empties the file and continues writing at offset 0.
  int32_t Truncate();
  // Reserves room for a file of `size` bytes without changing its visible size, so a full disk
  // shows up before the data flows. Devices and file systems that cannot reserve answer 0.
  // A failed reservation gives back whatever it took.
  int32_t Reserve(uint64_t size);
  // Gives back room reserved beyond the bytes written: the file is cut to its size and the
  // blocks past it are released.
  int32_t ReleaseReserve();
  // Flushes to the device and closes; the status of the flush or close.
  int32_t Close();

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  uint64_t reservedTo_ = 0;  // end of the last reservation
};

// Size of an existing regular file; false when it does not exist or cannot be examined.
bool FileSize(const WString& path, uint64_t* size);
// Renames `from` to `to`, replacing an existing `to`.
int32_t ReplaceFileWith(const WString& from, const WString& to);
// Removes a file; a missing file is success.
int32_t RemoveFile(const WString& path);
// Creates the directory and its missing parents.
int32_t MakeDirectories(const WString& path);
// Creates the folders of `relative` (separated by '/' or '\\') inside `base`, which exists. An
// element that is empty, "." or "..", or a folder on the way that is a link or reparse point,
// is refused (invalid name, access denied): the walk never leaves `base`.
int32_t MakeSubdirectories(const WString& base, const WString& relative);
// Bytes the caller may still write on the volume holding `path`; false when unknown.
bool FreeSpaceAt(const WString& path, uint64_t* bytes);

}  // namespace platform
}  // namespace lumo
