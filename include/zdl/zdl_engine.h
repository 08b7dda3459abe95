// Interface of the transfer engine library zdlcore (zdlcore.dll / libzdlcore.so).
//
// The module loads the library by name, calls mod_init, and obtains two services with
// mod_getobject: IZDownloadService (one session per transfer) and IZHttpService (plain HTTP
// requests reported through an IZHttpResponseHandler). COM-style layout, as in the module's own
// host header: no data, no virtual destructor, __stdcall methods on 32-bit Windows.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define ZDL_STDCALL __stdcall
#define ZDL_CDECL __cdecl
#else
#define ZDL_STDCALL
#define ZDL_CDECL
#endif

#if defined(_WIN32)
#if defined(ZDL_BUILDING_ENGINE)
#define ZDL_API __declspec(dllexport)
#else
#define ZDL_API
#endif
#else
#define ZDL_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32)
typedef wchar_t ZdlWChar;
#else
typedef char16_t ZdlWChar;
#endif

struct ZdlGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(ZdlGuid) == 16, "ZdlGuid must be 16 bytes");

// {4EA1C3CB-84F7-4641-8216-BD285068C65A}
constexpr ZdlGuid IID_IZDownloadService = {
    0x4EA1C3CBu, 0x84F7u, 0x4641u, {0x82, 0x16, 0xBD, 0x28, 0x50, 0x68, 0xC6, 0x5A}};
// {D472FF15-FABE-4273-A256-7F0C164FF8FD}
constexpr ZdlGuid IID_IZHttpService = {
    0xD472FF15u, 0xFABEu, 0x4273u, {0xA2, 0x56, 0x7F, 0x0C, 0x16, 0x4F, 0xF8, 0xFD}};
// {0C19FB92-65CD-424B-89D7-30461D7EE6A6}
constexpr ZdlGuid IID_IZHttpResponseHandler = {
    0x0C19FB92u, 0x65CDu, 0x424Bu, {0x89, 0xD7, 0x30, 0x46, 0x1D, 0x7E, 0xE6, 0xA6}};
// {7A0F3C51-2B64-4D8E-9C17-5E2A8B6D4F03}
constexpr ZdlGuid IID_IZDownloadSession = {
    0x7A0F3C51u, 0x2B64u, 0x4D8Eu, {0x9C, 0x17, 0x5E, 0x2A, 0x8B, 0x6D, 0x4F, 0x03}};
// {3E5D9A72-81C4-4B0F-A6E3-19D74C2B8E56}
constexpr ZdlGuid IID_IZHttpRequest = {
    0x3E5D9A72u, 0x81C4u, 0x4B0Fu, {0xA6, 0xE3, 0x19, 0xD7, 0x4C, 0x2B, 0x8E, 0x56}};

// Status codes shared with the module (COM convention).
constexpr int32_t kZdlOk = 0;
constexpr int32_t kZdlNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kZdlPointer = static_cast<int32_t>(0x80004003u);
constexpr int32_t kZdlFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kZdlAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kZdlInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kZdlOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t kZdlWrongState = static_cast<int32_t>(0x8000000Eu);  // E_ILLEGAL_METHOD_CALL

// Session status reported by GetStatus; 4 and 5 are final.
enum ZdlSessionStatus : int32_t {
  kZdlStatusInit = 0,
  kZdlStatusConnecting = 1,
  kZdlStatusAllocating = 2,
  kZdlStatusDownloading = 3,
  kZdlStatusDownloaded = 4,
  kZdlStatusError = 5,
};

// Result codes of GetResult, shared with the module.
enum ZdlResultCode : int32_t {
  kZdlResultSuccess = 0,
  kZdlResultGeneral = 1,
  kZdlResultAborted = 2,
  kZdlResultNetwork = 3,
  kZdlResultFileSystem = 4,  // extended code: Windows status code of the file operation
  kZdlResultNotFound = 5,
  kZdlResultServer = 6,
  kZdlResultTimeout = 7,
  kZdlResultChecksum = 8,
};

// Windows status codes the engine uses as extended codes of kZdlResultFileSystem.
constexpr int32_t kZdlExtDiskFull = static_cast<int32_t>(0x80070070u);       // 112, disk full
constexpr int32_t kZdlExtVolumeDirty = static_cast<int32_t>(0x80071AC3u);    // 6851, volume dirty
constexpr int32_t kZdlExtDeviceHardware = static_cast<int32_t>(0x800701E3u); // 483, fatal device hardware error
constexpr int32_t kZdlExtAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kZdlExtPathNotFound = static_cast<int32_t>(0x80070003u);
constexpr int32_t kZdlExtFileNotFound = static_cast<int32_t>(0x80070002u);
// Extended code of kZdlResultChecksum: several lines of the checksum file name the file with
// different digests, and neither its relative name nor its URL's folders pick one
// (ERROR_INVALID_DATA).
constexpr int32_t kZdlExtChecksumAmbiguous = static_cast<int32_t>(0x8007000Du);
// A checksum file larger than this is refused, by the engine and by the module that fetches it;
// the module's refusal carries ERROR_FILE_TOO_LARGE.
constexpr uint64_t kZdlMaxChecksumFileBytes = 64ull * 1024 * 1024;
constexpr int32_t kZdlExtFileTooLarge = static_cast<int32_t>(0x800700DFu);
// 39, ERROR_HANDLE_DISK_FULL: the size the server announced exceeds the free space. Nothing was
// reserved; another mirror may announce the true size.
constexpr int32_t kZdlExtClaimExceedsSpace = static_cast<int32_t>(0x80070027u);

// Engine option ids of IZDownloadSession::SetOption. After Start, options 0 and 5 change the
// running transfer, 1, 3 and 4 its next connection; option 2 is refused (0x8000000E).
enum ZdlOptionId : int32_t {
  kZdlOptionMaxSpeed = 0,         // u32 bytes per second, 0 = unlimited
  kZdlOptionConnectTimeout = 1,   // u32 seconds, 0 = 30
  kZdlOptionOverwrite = 2,        // 1 byte: discard partial or old data, start from zero
  kZdlOptionProxy = 3,            // text (no terminator needed)
  kZdlOptionUserAgent = 4,        // text
  kZdlOptionTransferTimeout = 5,  // u32 seconds for the whole transfer since Start, 0 = none
  kZdlOptionFailureDetail = 6,    // GetOption only, text: why the session failed, when the
                                  // engine knows more than its result code (else empty)
};

// HTTP request methods and flags of IZHttpService::CreateRequest.
enum ZdlHttpMethod : int32_t {
  kZdlMethodGet = 1,
  kZdlMethodPost = 3,
};
constexpr uint32_t kZdlRequestBackground = 0x4000;  // run in the background, report to the handler

// Block of GetFileInfo.
struct ZdlFileInfo {
  uint64_t totalBytes;
  uint64_t downloadedBytes;
  uint64_t resumedFrom;  // offset the transfer resumed at (0 when it started from zero)
  uint64_t elapsedMs;
};
static_assert(sizeof(ZdlFileInfo) == 32, "ZdlFileInfo must be 32 bytes");

struct IZUnknown {
  virtual int32_t ZDL_STDCALL QueryInterface(const ZdlGuid* iid, void** out) = 0;
  virtual uint32_t ZDL_STDCALL AddRef() = 0;
  virtual uint32_t ZDL_STDCALL Release() = 0;
};

struct IZDownloadSession : IZUnknown {
  // Reads back a value set with SetOption; *size in: room, out: bytes written.
  virtual int32_t ZDL_STDCALL GetOption(int32_t id, void* value, uint32_t* size) = 0;
  virtual int32_t ZDL_STDCALL SetOption(int32_t id, const void* value, uint32_t size) = 0;
  virtual int32_t ZDL_STDCALL Start() = 0;
  // Ends the transfer; polls then end in status 5 with result 2. Any thread. The partial data
  // stays for a later session to resume (guarded by the saved validator).
  virtual int32_t ZDL_STDCALL Abort() = 0;
  // Same as Abort.
  virtual int32_t ZDL_STDCALL Pause() = 0;
  virtual int32_t ZDL_STDCALL GetStatus(int32_t* status, uint64_t* totalBytes,
                                        uint64_t* downloadedBytes, uint32_t* averageSpeed,
                                        uint32_t* currentSpeed) = 0;
  virtual int32_t ZDL_STDCALL GetResult(int32_t* result, int32_t* extendedCode) = 0;
  virtual int32_t ZDL_STDCALL GetFileInfo(ZdlFileInfo* info) = 0;
};

struct IZDownloadService : IZUnknown {
  // checksumPath may be null or empty; fileName may be empty (derived from the URL).
  virtual int32_t ZDL_STDCALL CreateSession(const char* url, const ZdlWChar* checksumPath,
                                            const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                            IZDownloadSession** session) = 0;
};

// IZHttpResponseHandler::OnNotify(kZdlNotifyIncomplete, result code, extended code, 0) comes
// before OnComplete when the answer did not arrive whole: the exchange failed, the body ended
// short of its Content-Length, or it came in an encoding that was not asked for.
constexpr uint32_t kZdlNotifyIncomplete = 0x5A440001u;

struct IZHttpResponseHandler : IZUnknown {
  virtual int32_t ZDL_STDCALL OnBegin() = 0;
  virtual int32_t ZDL_STDCALL OnStatusCode(uint32_t status) = 0;
  virtual int32_t ZDL_STDCALL OnNotify(uint32_t a, uint32_t b, uint32_t c, uint32_t d) = 0;
  virtual int32_t ZDL_STDCALL OnSignal() = 0;
  virtual int32_t ZDL_STDCALL OnData(const void* data, uint32_t length) = 0;
  virtual int32_t ZDL_STDCALL OnComplete() = 0;
};

struct IZHttpRequest : IZUnknown {
  virtual int32_t ZDL_STDCALL SetHeader(const char* name, const char* value) = 0;
  virtual int32_t ZDL_STDCALL SetBody(const void* data, uint32_t length) = 0;
  virtual int32_t ZDL_STDCALL Send() = 0;
};

struct IZHttpService : IZUnknown {
  // The engine keeps a reference to handler until it has called OnComplete.
  virtual int32_t ZDL_STDCALL CreateRequest(uint32_t flags, int32_t method, const char* url,
                                            IZHttpResponseHandler* handler, uint32_t reserved,
                                            IZHttpRequest** request) = 0;
};

// Optional, reached through QueryInterface of an IZDownloadSession or an IZHttpRequest: tells
// a waiter at once that the object has ended, so it need not poll for the end. notify(context)
// runs once, on an engine thread, after the session's status became final (4 or 5) or after
// the request's handler returned from OnComplete; at once on the calling thread when that has
// happened already. A later call replaces the registration, a null notify clears it; once
// SetCompletionNotify returns, no notify of an earlier registration is running or will run.
// notify must not call back into the object.
// {B3E6F1A4-5C27-4D9B-8E41-0A7D2C93F615}
constexpr ZdlGuid IID_IZCompletionNotify = {
    0xB3E6F1A4u, 0x5C27u, 0x4D9Bu, {0x8E, 0x41, 0x0A, 0x7D, 0x2C, 0x93, 0xF6, 0x15}};
typedef void(ZDL_CDECL* ZdlCompletionFn)(void* context);

struct IZCompletionNotify : IZUnknown {
  virtual int32_t ZDL_STDCALL SetCompletionNotify(ZdlCompletionFn notify, void* context) = 0;
};

// __cdecl whatever the caller's default convention.
extern "C" {
ZDL_API int32_t ZDL_CDECL mod_init(void);
ZDL_API void ZDL_CDECL mod_term(void);
ZDL_API int32_t ZDL_CDECL mod_getobject(const ZdlGuid* iid, void** out);
}

typedef int32_t(ZDL_CDECL* ZdlInitFn)(void);
typedef void(ZDL_CDECL* ZdlTermFn)(void);
typedef int32_t(ZDL_CDECL* ZdlGetObjectFn)(const ZdlGuid* iid, void** out);
