// Process facts and dynamic libraries on Linux.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

#include "platform/platform.h"

namespace lumo {
namespace platform {

const WChar* EngineLibraryName() { return u"libzdlcore.so"; }

WString ExecutableDirectory() {
  // readlink does not say whether it truncated, so grow until the answer fits.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return WString();
    if (static_cast<size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<size_t>(length));
      size_t cut = path.find_last_of('/');
      if (cut == std::string::npos) return WString();
      path.resize(cut + 1);
      WString wide;
      if (!MultiByteToWide(CodePage::kUtf8, path.data(), path.size(), &wide)) return WString();
      return wide;
    }
    if (buffer.size() >= (1u << 20)) return WString();
    buffer.resize(buffer.size() * 2);
  }
}

void* LoadDynamicLibrary(const WString& name) {
  std::string narrow;
  if (name.empty() || !WideToMultiByte(CodePage::kAnsi, name.data(), name.size(), &narrow)) {
    return nullptr;
  }
  if (narrow.find('/') == std::string::npos) {
    // A bare name is looked for beside the library holding this code first: dlopen's own
    // search uses the caller's run path, and interposers (sanitizer runtimes) hide the caller.
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&LoadDynamicLibrary), &self) != 0 &&
        self.dli_fname != nullptr) {
      std::string beside = self.dli_fname;
      const size_t slash = beside.rfind('/');
      if (slash != std::string::npos) {
        beside = beside.substr(0, slash + 1) + narrow;
        if (void* library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
      }
    }
  }
  return dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void UnloadDynamicLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace platform
}  // namespace lumo
