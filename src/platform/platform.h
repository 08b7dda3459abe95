// The narrow environment interface of the module and the engine. Every operating-system call
// lives behind these functions: win32/*.cpp implements them with the Windows API, posix/*.cpp
// with Linux facilities and the same observable behaviour.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace lumo {

// UTF-16 text on every platform (wchar_t is 32-bit on Linux, so it is never used there).
#if defined(_WIN32)
using WChar = wchar_t;
#else
using WChar = char16_t;
#endif
using WString = std::basic_string<WChar>;

namespace platform {

// '\\' on Windows, '/' elsewhere: the separator of paths the module composes.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif
inline bool IsPathSeparator(int c) { return c == '\\' || c == '/'; }

// File name of the engine library; the loader joins it to the folders it looks in.
const WChar* EngineLibraryName();  // L"zdlcore.dll" / u"libzdlcore.so"

// ---- process ----

// Directory of the host process's executable (not of this library), cut after its last
// separator, so it ends with one. Empty when the path cannot be found.
WString ExecutableDirectory();

// ---- time ----

// Calendar time with the fields of the Windows SYSTEMTIME structure.
struct CalendarTime {
  uint16_t year = 0;
  uint16_t month = 0;      // 1..12
  uint16_t dayOfWeek = 0;  // 0 = Sunday
  uint16_t day = 0;        // 1..31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

CalendarTime LocalTimeNow();
CalendarTime UtcTimeNow();
// Local time and the zone's bias in force at that moment, in minutes (UTC = local time + bias),
// daylight saving and half-hour zones included; both taken from one reading of the clock.
CalendarTime LocalTimeNow(int32_t* biasMinutes);

// ---- text ----

// The system's message for a status code (neutral language, user's default sublanguage),
// UTF-8, with its first CR LF pair removed; empty when the system has none. On Linux a table
// covers the codes the module produces.
std::string SystemErrorText(int32_t code);

enum class CodePage { kUtf8, kAnsi };  // kAnsi is UTF-8 on Linux
// False when the text cannot be converted (output unchanged then). kUtf8 replaces lone
// surrogates and ill-formed UTF-8 with U+FFFD, as Windows does; on Linux kAnsi refuses them
// instead, so a path is never silently turned into another one.
bool WideToMultiByte(CodePage codePage, const WChar* text, size_t length, std::string* out);
bool MultiByteToWide(CodePage codePage, const char* text, size_t length, WString* out);

// ---- dynamic libraries ----

// A full path loads that file (its own dependencies are looked for beside it first); a bare
// name is left to the system's search order. Null on failure.
void* LoadDynamicLibrary(const WString& name);
void* FindSymbol(void* library, const char* name);
void UnloadDynamicLibrary(void* library);
// Folder of the library (or program) holding this code, ending with a separator; empty when
// unknown. The module and the engine each get their own, as each links this layer.
WString LibraryDirectory();
// Processor time the calling thread has used so far, in nanoseconds (Windows counts it in
// scheduler ticks); 0 when unknown.
uint64_t ThreadCpuNanoseconds();
// Keeps the library holding this code loaded until the process ends, whatever its host unloads:
// for threads that may outlive the library's last use.
void PinThisLibrary();

// ---- machine facts (uncached; caching is the caller's business) ----

// MAC address of the last qualifying adapter (physical, up), six upper-case hex pairs joined
// by ':'; empty when none. On Windows this is the WMI query and prints the connect line.
std::string QueryMacAddress();
// Host name in UTF-8; empty on failure.
std::string QueryHostName();
// IPv4 addresses of a host (UTF-8) in resolver order, dotted decimal; empty on failure.
std::vector<std::string> ResolveIPv4(const std::string& host);

// A fresh GUID in its four fields; false when the generator fails.
struct GuidFields {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};
bool NewGuid(GuidFields* out);

// Storage bus of the drive holding a path.
enum class BusQuery { kOk, kInvalidHandle, kQueryFailed };
// On kOk, *busType receives the Windows STORAGE_BUS_TYPE value. Windows asks the volume of the
// path's first character (a drive letter). Linux maps the bus of the block device under the
// path or its nearest existing parent: usb 7, ata/sata 11, nvme 17, virtio 14, scsi 1, mmc 13,
// sd 12, loop 15, md 8, anything else (or no block device) 0.
BusQuery QueryStorageBusType(const WString& path, uint32_t* busType);

// ---- files ----

bool IsDirectory(const WString& path);
// True for anything that exists, directories included (a file-attribute query).
bool FileExists(const WString& path);
// Creates the directory and its missing parents; true when it exists afterwards.
bool CreateDirectories(const WString& path);
// Renames without replacing an existing target.
bool RenameFile(const WString& from, const WString& to);
bool DeleteFileAt(const WString& path);
// fopen with a UTF-16 path (mode as fopen's, e.g. "rb"); null on failure.
std::FILE* OpenFile(const WString& path, const char* mode);
// Names of what a directory holds ("." and ".." left out), in no particular order; empty when
// it cannot be read.
std::vector<WString> ListDirectory(const WString& path);
// Appends text in one write to the file at path, creating it when missing;
// line ends become CR LF on Windows, as a text-mode stream writes them. Never follows a link
// nor waits on a FIFO or device: anything but a regular file with a single name is left alone.
// False when nothing was written.
bool AppendTextToFile(const WString& path, const std::string& text);

// ---- digest ----

// Streaming MD5 (RFC 1321) from the system's crypto library.
class Md5Digest {
 public:
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;

  void Update(const void* data, size_t length);
  // The digest object is spent afterwards: further updates are ignored and Finish answers the
  // same digest again. All zeros when the crypto library failed.
  std::array<uint8_t, 16> Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Lower-case hex of a digest ("%02x" per byte).
std::string DigestHex(const std::array<uint8_t, 16>& digest);

}  // namespace platform
}  // namespace lumo
