// The calling conventions of both libraries' host ABIs, proved by the compiler on 32-bit
// Windows: every interface method is __stdcall, every export and export type __cdecl. The 32-bit
// Windows build compiles this file twice, as usual and with stdcall as the default (-mrtd, as a
// host built with /Gz), so that no check holds merely by the compiler's default.
#include <type_traits>

#include "lumo/lumo_downloader.h"
#include "zdl/zdl_engine.h"

#if defined(_WIN32) && !defined(_WIN64)
namespace {

template <class T>
struct IsStdcallMethod : std::false_type {};
template <class R, class C, class... A>
struct IsStdcallMethod<R (__stdcall C::*)(A...)> : std::true_type {};

template <class T>
struct IsCdeclFunction : std::false_type {};
template <class R, class... A>
struct IsCdeclFunction<R(__cdecl*)(A...)> : std::true_type {};

#define LUMO_EXPECT_STDCALL(Interface, Method)                        \
  static_assert(IsStdcallMethod<decltype(&Interface::Method)>::value, \
                #Interface "::" #Method " must be __stdcall")
#define LUMO_EXPECT_CDECL(Type) \
  static_assert(IsCdeclFunction<Type>::value, #Type " must be __cdecl")

LUMO_EXPECT_STDCALL(ILumoDownloader, QueryInterface);
LUMO_EXPECT_STDCALL(ILumoDownloader, AddRef);
LUMO_EXPECT_STDCALL(ILumoDownloader, Release);
LUMO_EXPECT_STDCALL(ILumoDownloader, GetOption);
LUMO_EXPECT_STDCALL(ILumoDownloader, SetOption);
LUMO_EXPECT_STDCALL(ILumoDownloader, AddDownload);
LUMO_EXPECT_STDCALL(ILumoDownloader, Start);
LUMO_EXPECT_STDCALL(ILumoDownloader, Pause);
LUMO_EXPECT_STDCALL(ILumoDownloader, Resume);
LUMO_EXPECT_STDCALL(ILumoDownloader, ResetProgress);
LUMO_EXPECT_STDCALL(ILumoDownloader, Stop);
LUMO_EXPECT_STDCALL(ILumoDownloader, GetProgress);
LUMO_EXPECT_STDCALL(ILumoDownloader, GetOverallState);
LUMO_EXPECT_STDCALL(ILumoDownloader, GetStatistics);
LUMO_EXPECT_STDCALL(ILumoDownloader, SampleStatistics);
LUMO_EXPECT_STDCALL(ILumoDownloader, GetCompletedFiles);

LUMO_EXPECT_STDCALL(IZUnknown, QueryInterface);
LUMO_EXPECT_STDCALL(IZUnknown, AddRef);
LUMO_EXPECT_STDCALL(IZUnknown, Release);
LUMO_EXPECT_STDCALL(IZDownloadSession, GetOption);
LUMO_EXPECT_STDCALL(IZDownloadSession, SetOption);
LUMO_EXPECT_STDCALL(IZDownloadSession, Start);
LUMO_EXPECT_STDCALL(IZDownloadSession, Abort);
LUMO_EXPECT_STDCALL(IZDownloadSession, Pause);
LUMO_EXPECT_STDCALL(IZDownloadSession, GetStatus);
LUMO_EXPECT_STDCALL(IZDownloadSession, GetResult);
LUMO_EXPECT_STDCALL(IZDownloadSession, GetFileInfo);
LUMO_EXPECT_STDCALL(IZDownloadService, CreateSession);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnBegin);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnStatusCode);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnNotify);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnSignal);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnData);
LUMO_EXPECT_STDCALL(IZHttpResponseHandler, OnComplete);
LUMO_EXPECT_STDCALL(IZHttpRequest, SetHeader);
LUMO_EXPECT_STDCALL(IZHttpRequest, SetBody);
LUMO_EXPECT_STDCALL(IZHttpRequest, Send);
LUMO_EXPECT_STDCALL(IZHttpService, CreateRequest);

LUMO_EXPECT_CDECL(decltype(&mod_lumoinit));
LUMO_EXPECT_CDECL(decltype(&mod_lumoterm));
LUMO_EXPECT_CDECL(decltype(&mod_lumogetobject));
LUMO_EXPECT_CDECL(LumoInitFn);
LUMO_EXPECT_CDECL(LumoTermFn);
LUMO_EXPECT_CDECL(LumoGetObjectFn);
LUMO_EXPECT_CDECL(LumoAssignFn);
LUMO_EXPECT_CDECL(decltype(&mod_init));
LUMO_EXPECT_CDECL(decltype(&mod_term));
LUMO_EXPECT_CDECL(decltype(&mod_getobject));
LUMO_EXPECT_CDECL(ZdlInitFn);
LUMO_EXPECT_CDECL(ZdlTermFn);
LUMO_EXPECT_CDECL(ZdlGetObjectFn);

}  // namespace
#endif
