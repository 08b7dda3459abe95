// Process facts and dynamic libraries on Linux.
#include <dlfcn.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/platform.h"

namespace lumo {
namespace platform {

const WChar* EngineLibraryName() { return u"libzdlcore.so"; }

uint64_t ThreadCpuNanoseconds() {
  struct timespec used {};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0) return 0;
  return static_cast<uint64_t>(used.tv_sec) * 1000000000ull + static_cast<uint64_t>(used.tv_nsec);
}

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
  return dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void UnloadDynamicLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

namespace {

// The file of the library holding this code. dladdr on one of its own functions, because
// interposers (sanitizer runtimes) hide the caller from dlopen's own search.
std::string ThisLibraryFile() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&ThisLibraryFile), &self) == 0 || self.dli_fname == nullptr) {
    return std::string();
  }
  return self.dli_fname;
}

}  // namespace

WString LibraryDirectory() {
  std::string file = ThisLibraryFile();
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return WString();
  file.resize(slash + 1);
  WString wide;
  if (!MultiByteToWide(CodePage::kUtf8, file.data(), file.size(), &wide)) return WString();
  return wide;
}

void PinThisLibrary() {
  // A reference that is never given back, on a library marked never to be unloaded.
  const std::string file = ThisLibraryFile();
  if (!file.empty()) dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace platform
}  // namespace lumo
