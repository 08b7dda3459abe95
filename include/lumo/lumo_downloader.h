// Host-facing interface of the downloader module.
//
// A launcher loads the module (lumodownload.dll / liblumodownload.so), resolves the three
// exports below, calls mod_lumoinit once, fetches ILumoDownloader with mod_lumogetobject and
// drives it. The layout is COM-compatible: interfaces are structs of pure virtual methods
// without data and without a virtual destructor, methods use __stdcall on 32-bit Windows.
#pragma once

#include <stdint.h>

// LUMO_NO_STD_STRING leaves out the std::string adapter at the end (and <string>), for hosts
// whose C++ library cannot be used, e.g. one built with stdcall as its default convention.
#if !defined(LUMO_NO_STD_STRING)
#include <string>
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
#else
typedef char16_t LumoWChar;
#endif

// Interface identifier in the usual GUID layout (little-endian fields, then eight bytes).
struct LumoGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(LumoGuid) == 16, "LumoGuid must be 16 bytes");

// {BABCE3F3-A9E0-4F5B-87B7-55B547DC01E4}
constexpr LumoGuid IID_ILumoDownloader = {
    0xBABCE3F3u, 0xA9E0u, 0x4F5Bu, {0x87, 0xB7, 0x55, 0xB5, 0x47, 0xDC, 0x01, 0xE4}};

// Status codes (COM convention: negative means failure).
constexpr int32_t kLumoOk = 0;
constexpr int32_t kLumoNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kLumoFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kLumoAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kLumoInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kLumoOutOfMemory = static_cast<int32_t>(0x8007000Eu);

// Option ids of SetOption/GetOption.
enum LumoOptionId : int32_t {
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
enum LumoRunState : uint32_t {
  kLumoRunStateInitial = 0,
  kLumoRunStateRunning = 1,
  kLumoRunStateIdle = 2,
  kLumoRunStateDiskFull = 5,
  kLumoRunStateVolumeDirty = 6,
  kLumoRunStateDeviceError = 7,
};

// The 18-word status record of GetStatistics.
struct DownloadStatus {
  uint32_t words[18];
};
static_assert(sizeof(DownloadStatus) == 72, "DownloadStatus must be 18 words");

// Word indexes of DownloadStatus.
enum LumoStatusWord : uint32_t {
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

// A host narrow string object: the module only ever calls assign, so the text crosses the
// boundary without either side knowing the other's string type.
typedef void(LUMO_CDECL* LumoAssignFn)(void* context, const char* text, uint32_t length);
struct LumoString {
  void* context;
  LumoAssignFn assign;
};

#if !defined(LUMO_NO_STD_STRING)
inline void LUMO_CDECL LumoAssignStdString(void* context, const char* text, uint32_t length) {
  static_cast<std::string*>(context)->assign(text, length);
}

// Wraps a std::string so the module can assign to it.
inline LumoString LumoStringFor(std::string& target) {
  return LumoString{&target, &LumoAssignStdString};
}
#endif

struct ILumoDownloader {
  virtual int32_t LUMO_STDCALL QueryInterface(const LumoGuid* iid, void** out) = 0;
  virtual uint32_t LUMO_STDCALL AddRef() = 0;
  virtual uint32_t LUMO_STDCALL Release() = 0;
  virtual int32_t LUMO_STDCALL GetOption(int32_t id, void* buffer, uint32_t* size) = 0;
  virtual int32_t LUMO_STDCALL SetOption(int32_t id, const void* data, uint32_t size) = 0;
  virtual int32_t LUMO_STDCALL AddDownload(const char* const* urls, uint32_t urlCount,
                                           const LumoWChar* saveDir, const LumoWChar* fileName,
                                           const char* const* checksumUrls,
                                           uint32_t checksumUrlCount,
                                           const char* checksumMd5) = 0;
  virtual int32_t LUMO_STDCALL Start() = 0;
  virtual int32_t LUMO_STDCALL Pause(uint32_t reserved) = 0;
  virtual int32_t LUMO_STDCALL Resume() = 0;
  virtual int32_t LUMO_STDCALL ResetProgress() = 0;
  virtual int32_t LUMO_STDCALL Stop(uint32_t reserved) = 0;
  virtual int32_t LUMO_STDCALL GetProgress(uint32_t* state, uint64_t* bytes,
                                           uint32_t* averageSpeed, uint32_t* currentSpeed,
                                           LumoString* path) = 0;
  virtual int32_t LUMO_STDCALL GetOverallState(uint32_t* state, uint32_t* reserved) = 0;
  virtual int32_t LUMO_STDCALL GetStatistics(DownloadStatus* status) = 0;
  virtual int32_t LUMO_STDCALL SampleStatistics() = 0;
  virtual int32_t LUMO_STDCALL GetCompletedFiles(LumoString* list) = 0;
};

// The three exports, undecorated, __cdecl whatever the host's default convention (/Gz).
extern "C" {
LUMO_API int32_t LUMO_CDECL mod_lumoinit(LumoString* errorText);
LUMO_API int32_t LUMO_CDECL mod_lumoterm(void);
LUMO_API int32_t LUMO_CDECL mod_lumogetobject(const LumoGuid* iid, void** out);
}

typedef int32_t(LUMO_CDECL* LumoInitFn)(LumoString* errorText);
typedef int32_t(LUMO_CDECL* LumoTermFn)(void);
typedef int32_t(LUMO_CDECL* LumoGetObjectFn)(const LumoGuid* iid, void** out);
