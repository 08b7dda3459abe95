// Host-facing interface of the downloader module.
//
// A launcher loads the module (lumodownload.dll / liblumodownload.so), resolves the three
// exports below, calls mod_lumoinit once, fetches ILumoDownloader with mod_lumogetobject and
// drives it. The layout is COM-compatible: interfaces are structs of pure virtual methods
// without data and without a virtual destructor, methods use __stdcall on 32-bit Windows.
// Compiles as C too: there an interface is a pointer to its table of functions (lpVtbl), each
// taking the object first, as COM's C binding has it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
// LUMO_NO_STD_STRING leaves out the std::string adapter at the end (and <string>), for hosts
// whose C++ library cannot be used, e.g. one built with stdcall as its default convention.
#if !defined(LUMO_NO_STD_STRING)
#include <string>
#endif
#define LUMO_CONST constexpr
#define LUMO_ENUM_BASE(type) : type
#define LUMO_STATUS(code) static_cast<int32_t>(code)
#else
#define LUMO_CONST static const
#define LUMO_ENUM_BASE(type)
#define LUMO_STATUS(code) ((int32_t)(code))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define LUMO_STDCALL __stdcall
#define LUMO_CDECL __cdecl
#else
#define LUMO_STDCALL
#define LUMO_CDECL
#endif

#if defined(_WIN32)
#if defined(LUMO_BUILDING_MODULE)
#define LUMO_API __declspec(dllexport)
#else
#define LUMO_API
#endif
#else
#define LUMO_API __attribute__((visibility("default")))
#endif

// UTF-16 code unit: wchar_t on Windows, char16_t elsewhere (wchar_t is 32-bit there).
#if defined(_WIN32)
typedef wchar_t LumoWChar;
#elif defined(__cplusplus)
typedef char16_t LumoWChar;
#else
typedef uint16_t LumoWChar;
#endif

// Interface identifier in the usual GUID layout (little-endian fields, then eight bytes).
typedef struct LumoGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} LumoGuid;
#ifdef __cplusplus
static_assert(sizeof(LumoGuid) == 16, "LumoGuid must be 16 bytes");
#endif

// {BABCE3F3-A9E0-4F5B-87B7-55B547DC01E4}
LUMO_CONST LumoGuid IID_ILumoDownloader = {
    0xBABCE3F3u, 0xA9E0u, 0x4F5Bu, {0x87, 0xB7, 0x55, 0xB5, 0x47, 0xDC, 0x01, 0xE4}};

// {0B6E2C4F-7D1A-4E93-A5C8-3F9B1D62E7A0}: the per-file results of the same object, reached only
// through the object's QueryInterface (mod_lumogetobject answers IID_ILumoDownloader alone).
LUMO_CONST LumoGuid IID_ILumoFileResults = {
    0x0B6E2C4Fu, 0x7D1Au, 0x4E93u, {0xA5, 0xC8, 0x3F, 0x9B, 0x1D, 0x62, 0xE7, 0xA0}};
// IUnknown's identifier, which ILumoFileResults' QueryInterface answers (COM identity).
LUMO_CONST LumoGuid IID_LumoUnknown = {
    0x00000000u, 0x0000u, 0x0000u, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Status codes (COM convention: negative means failure).
LUMO_CONST int32_t kLumoOk = 0;
LUMO_CONST int32_t kLumoNoInterface = LUMO_STATUS(0x80004002u);
LUMO_CONST int32_t kLumoFail = LUMO_STATUS(0x80004005u);
LUMO_CONST int32_t kLumoAccessDenied = LUMO_STATUS(0x80070005u);
LUMO_CONST int32_t kLumoInvalidArg = LUMO_STATUS(0x80070057u);
LUMO_CONST int32_t kLumoOutOfMemory = LUMO_STATUS(0x8007000Eu);
// ILumoFileResults: no file of that path is known.
LUMO_CONST int32_t kLumoNotFound = LUMO_STATUS(0x80070490u);

// Option ids of SetOption/GetOption.
enum LumoOptionId LUMO_ENUM_BASE(int32_t) {
  kLumoOptionMaxSpeed = 0,         // engine option 0: u32 bytes per second, 0 = unlimited
  kLumoOptionConnectTimeout = 1,   // engine option 1: u32 seconds, 0 = engine default
  kLumoOptionOverwrite = 2,        // engine option 2: 1 byte, discard partial data
  kLumoOptionProxy = 3,            // engine option 3: text
  kLumoOptionUserAgent = 4,        // engine option 4: text
  kLumoOptionSid = 8,              // text: telemetry sid
  kLumoOptionClientVersion = 9,    // text: telemetry clientVersion
  kLumoOptionTransferTimeout = 11, // engine option 5: u32 seconds, 0 = none
  kLumoOptionGameCode = 12,        // text: telemetry gameCode, preferred-domain request
};

// RunState values reported by GetProgress.
enum LumoRunState LUMO_ENUM_BASE(uint32_t) {
  kLumoRunStateInitial = 0,
  kLumoRunStateRunning = 1,
  kLumoRunStateIdle = 2,
  kLumoRunStateDiskFull = 5,
  kLumoRunStateVolumeDirty = 6,
  kLumoRunStateDeviceError = 7,
};

// The 18-word status record of GetStatistics.
typedef struct DownloadStatus {
  uint32_t words[18];
} DownloadStatus;
#ifdef __cplusplus
static_assert(sizeof(DownloadStatus) == 72, "DownloadStatus must be 18 words");
#endif

// Word indexes of DownloadStatus.
enum LumoStatusWord LUMO_ENUM_BASE(uint32_t) {
  kLumoWordTotalLow = 8,
  kLumoWordTotalHigh = 9,
  kLumoWordDownloadedLow = 10,
  kLumoWordDownloadedHigh = 11,
  kLumoWordAverageSpeed = 12,
  kLumoWordCurrentSpeed = 13,
  kLumoWordRecordCount = 14,
  kLumoWordUnfinishedCount = 15,
  kLumoWordOverallState = 16,
};

// States of a file in ILumoFileResults.
enum LumoFileState LUMO_ENUM_BASE(uint32_t) {
  kLumoFileQueued = 0,   // AddDownload took it; not started yet (or put back for a second run)
  kLumoFileRunning = 1,  // its job runs now
  kLumoFileDone = 2,     // the whole file is in place under its path
  kLumoFileFailed = 3,   // every mirror failed; resultCode and the message say why
};

// One file's result. 32 bytes, the same layout for every compiler (the 64-bit fields lie on
// 8-byte offsets).
typedef struct LumoFileResult {
  uint32_t state;         // LumoFileState
  int32_t resultCode;     // 0 success; 1 to 8 the failure's result code (see the host guide)
  int32_t extendedCode;   // with result 4 the system status code (0x80070070: disk full)
  uint32_t attempts;      // transfer attempts made at the file's data so far
  uint64_t bytesReceived; // bytes of the file in place
  uint64_t bytesTotal;    // the file's size; 0 while the server has not told it
} LumoFileResult;
#ifdef __cplusplus
static_assert(sizeof(LumoFileResult) == 32, "LumoFileResult must be 32 bytes");
#endif

// A host narrow string object: the module only ever calls assign, so the text crosses the
// boundary without either side knowing the other's string type.
typedef void(LUMO_CDECL* LumoAssignFn)(void* context, const char* text, uint32_t length);
typedef struct LumoString {
  void* context;
  LumoAssignFn assign;
} LumoString;

#if defined(__cplusplus) && !defined(LUMO_NO_STD_STRING)
inline void LUMO_CDECL LumoAssignStdString(void* context, const char* text, uint32_t length) {
  static_cast<std::string*>(context)->assign(text, length);
}

// Wraps a std::string so the module can assign to it.
inline LumoString LumoStringFor(std::string& target) {
  return LumoString{&target, &LumoAssignStdString};
}
#endif

#ifdef __cplusplus
// The downloader. Any method from any thread; none blocks beyond a short lock. Codes: 0 success,
// kLumoInvalidArg for null or bad arguments, kLumoOutOfMemory; the others are named below. Texts
// handed back are UTF-8. The host guide (docs/host-guide.md) says more.
struct ILumoDownloader {
  // IID_ILumoDownloader or IID_ILumoFileResults; kLumoNoInterface otherwise (IUnknown too).
  virtual int32_t LUMO_STDCALL QueryInterface(const LumoGuid* iid, void** out) = 0;
  virtual uint32_t LUMO_STDCALL AddRef() = 0;
  virtual uint32_t LUMO_STDCALL Release() = 0;
  // The stored value of an option (LumoOptionId); kLumoFail when never set or not readable.
  virtual int32_t LUMO_STDCALL GetOption(int32_t id, void* buffer, uint32_t* size) = 0;
  // Always 0; engine options also reach a running transfer.
  virtual int32_t LUMO_STDCALL SetOption(int32_t id, const void* data, uint32_t size) = 0;
  // Queues one file: mirror URLs, a UTF-16 save folder and optional name (below 260 characters;
  // relative subfolders allowed, no "..", drive, stream or device name), optional checksum file.
  // kLumoInvalidArg for a bad argument or name; kLumoAccessDenied after a final Stop.
  virtual int32_t LUMO_STDCALL AddDownload(const char* const* urls, uint32_t urlCount,
                                           const LumoWChar* saveDir, const LumoWChar* fileName,
                                           const char* const* checksumUrls,
                                           uint32_t checksumUrlCount,
                                           const char* checksumMd5) = 0;
  // Runs the queue; kLumoAccessDenied while running or after a final Stop.
  virtual int32_t LUMO_STDCALL Start() = 0;
  // Aborts the current transfer (its .part stays); kLumoAccessDenied when already paused.
  virtual int32_t LUMO_STDCALL Pause(uint32_t reserved) = 0;
  // After a pause or a disk halt (RunState 5 to 7): the first job runs again.
  virtual int32_t LUMO_STDCALL Resume() = 0;
  // Forgets the progress records (not the per-file results).
  virtual int32_t LUMO_STDCALL ResetProgress() = 0;
  // Final: the worker ends; queued jobs never run.
  virtual int32_t LUMO_STDCALL Stop(uint32_t reserved) = 0;
  // RunState (LumoRunState), bytes of all files, speeds, the current file's path.
  virtual int32_t LUMO_STDCALL GetProgress(uint32_t* state, uint64_t* bytes,
                                           uint32_t* averageSpeed, uint32_t* currentSpeed,
                                           LumoString* path) = 0;
  // 0 all good, 2 a local file error, 3 a network error, 1 another failure.
  virtual int32_t LUMO_STDCALL GetOverallState(uint32_t* state, uint32_t* reserved) = 0;
  virtual int32_t LUMO_STDCALL GetStatistics(DownloadStatus* status) = 0;
  // Sends the statistics event.
  virtual int32_t LUMO_STDCALL SampleStatistics() = 0;
  // Paths of the files completed since the last reset, ";"-joined.
  virtual int32_t LUMO_STDCALL GetCompletedFiles(LumoString* list) = 0;
};

// Per-file results. Texts are UTF-8. Any thread; answers at once.
struct ILumoFileResults {
  virtual int32_t LUMO_STDCALL QueryInterface(const LumoGuid* iid, void** out) = 0;
  virtual uint32_t LUMO_STDCALL AddRef() = 0;
  virtual uint32_t LUMO_STDCALL Release() = 0;
  // The file of path (as GetCompletedFiles and GetProgress give it); a null or empty path names
  // the file that runs now, or ran last. message receives the log's failure text (empty unless
  // failed), foundPath the file's path; either may be null. kLumoNotFound for an unknown path,
  // kLumoInvalidArg for a null result.
  virtual int32_t LUMO_STDCALL GetFileResult(const char* path, LumoFileResult* result,
                                             LumoString* message, LumoString* foundPath) = 0;
  // Every file known, in the order first queued: count, then each by index (kLumoNotFound past
  // the end).
  virtual int32_t LUMO_STDCALL GetFileCount(uint32_t* count) = 0;
  virtual int32_t LUMO_STDCALL GetFileResultAt(uint32_t index, LumoFileResult* result,
                                               LumoString* message, LumoString* path) = 0;
};
#else
typedef struct ILumoDownloader ILumoDownloader;
typedef struct ILumoDownloaderVtbl {
  int32_t(LUMO_STDCALL* QueryInterface)(ILumoDownloader* self, const LumoGuid* iid, void** out);
  uint32_t(LUMO_STDCALL* AddRef)(ILumoDownloader* self);
  uint32_t(LUMO_STDCALL* Release)(ILumoDownloader* self);
  int32_t(LUMO_STDCALL* GetOption)(ILumoDownloader* self, int32_t id, void* buffer, uint32_t* size);
  int32_t(LUMO_STDCALL* SetOption)(ILumoDownloader* self, int32_t id, const void* data,
                                   uint32_t size);
  int32_t(LUMO_STDCALL* AddDownload)(ILumoDownloader* self, const char* const* urls,
                                     uint32_t urlCount, const LumoWChar* saveDir,
                                     const LumoWChar* fileName, const char* const* checksumUrls,
                                     uint32_t checksumUrlCount, const char* checksumMd5);
  int32_t(LUMO_STDCALL* Start)(ILumoDownloader* self);
  int32_t(LUMO_STDCALL* Pause)(ILumoDownloader* self, uint32_t reserved);
  int32_t(LUMO_STDCALL* Resume)(ILumoDownloader* self);
  int32_t(LUMO_STDCALL* ResetProgress)(ILumoDownloader* self);
  int32_t(LUMO_STDCALL* Stop)(ILumoDownloader* self, uint32_t reserved);
  int32_t(LUMO_STDCALL* GetProgress)(ILumoDownloader* self, uint32_t* state, uint64_t* bytes,
                                     uint32_t* averageSpeed, uint32_t* currentSpeed,
                                     LumoString* path);
  int32_t(LUMO_STDCALL* GetOverallState)(ILumoDownloader* self, uint32_t* state,
                                         uint32_t* reserved);
  int32_t(LUMO_STDCALL* GetStatistics)(ILumoDownloader* self, DownloadStatus* status);
  int32_t(LUMO_STDCALL* SampleStatistics)(ILumoDownloader* self);
  int32_t(LUMO_STDCALL* GetCompletedFiles)(ILumoDownloader* self, LumoString* list);
} ILumoDownloaderVtbl;
struct ILumoDownloader {
  const ILumoDownloaderVtbl* lpVtbl;
};
typedef struct ILumoFileResults ILumoFileResults;
typedef struct ILumoFileResultsVtbl {
  int32_t(LUMO_STDCALL* QueryInterface)(ILumoFileResults* self, const LumoGuid* iid, void** out);
  uint32_t(LUMO_STDCALL* AddRef)(ILumoFileResults* self);
  uint32_t(LUMO_STDCALL* Release)(ILumoFileResults* self);
  int32_t(LUMO_STDCALL* GetFileResult)(ILumoFileResults* self, const char* path,
                                       LumoFileResult* result, LumoString* message,
                                       LumoString* foundPath);
  int32_t(LUMO_STDCALL* GetFileCount)(ILumoFileResults* self, uint32_t* count);
  int32_t(LUMO_STDCALL* GetFileResultAt)(ILumoFileResults* self, uint32_t index,
                                         LumoFileResult* result, LumoString* message,
                                         LumoString* path);
} ILumoFileResultsVtbl;
struct ILumoFileResults {
  const ILumoFileResultsVtbl* lpVtbl;
};
#endif

// The three exports, undecorated, __cdecl whatever the host's default convention (/Gz).
#ifdef __cplusplus
extern "C" {
#endif
LUMO_API int32_t LUMO_CDECL mod_lumoinit(LumoString* errorText);
LUMO_API int32_t LUMO_CDECL mod_lumoterm(void);
LUMO_API int32_t LUMO_CDECL mod_lumogetobject(const LumoGuid* iid, void** out);
#ifdef __cplusplus
}
#endif

typedef int32_t(LUMO_CDECL* LumoInitFn)(LumoString* errorText);
typedef int32_t(LUMO_CDECL* LumoTermFn)(void);
typedef int32_t(LUMO_CDECL* LumoGetObjectFn)(const LumoGuid* iid, void** out);
