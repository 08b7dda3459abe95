// Process facts and dynamic libraries on Windows.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {

const WChar* EngineLibraryName() { return L"zdlcore.dll"; }

uint64_t ThreadCpuNanoseconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) * 100;  // 100 ns units
}

WString ExecutableDirectory() {
  // GetModuleFileNameW truncates silently: grow until the whole path fits.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return WString();
    if (length < buffer.size()) {
      WString path(buffer.data(), length);
      const size_t cut = path.find_last_of(L'\\');
      if (cut == WString::npos) return WString();
      path.resize(cut + 1);
      return path;
    }
    if (buffer.size() >= 65536) return WString();
    buffer.resize(buffer.size() * 2);
  }
}

void* LoadDynamicLibrary(const WString& name) {
  if (name.empty()) return nullptr;
  // A full path: the library's own dependencies are looked for in its folder first.
  const bool fullPath = name.find_first_of(L"\\/") != WString::npos;
  return reinterpret_cast<void*>(
      fullPath ? LoadLibraryExW(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
               : LoadLibraryW(name.c_str()));
}

void* FindSymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  FARPROC symbol = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
  void* address = nullptr;
  static_assert(sizeof(symbol) == sizeof(address), "code and data pointers differ in size");
  std::memcpy(&address, &symbol, sizeof(address));
  return address;
}

void UnloadDynamicLibrary(void* library) {
  if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

WString LibraryDirectory() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LibraryDirectory), &self)) {
    return WString();
  }
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(self, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return WString();
    if (length < buffer.size()) {
      WString path(buffer.data(), length);
      const size_t cut = path.find_last_of(L"\\/");
      if (cut == WString::npos) return WString();
      path.resize(cut + 1);
      return path;
    }
    if (buffer.size() >= 65536) return WString();
    buffer.resize(buffer.size() * 2);
  }
}

void PinThisLibrary() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinThisLibrary), &self);
}

}  // namespace platform
}  // namespace lumo
