// Process facts and dynamic libraries on Windows.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {

const WChar* EngineLibraryName() { return L"zdlcore.dll"; }

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
  return reinterpret_cast<void*>(LoadLibraryW(name.c_str()));
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

}  // namespace platform
}  // namespace lumo
