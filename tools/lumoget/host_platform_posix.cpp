#include <dlfcn.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "host_platform.h"

namespace lumoget {
namespace {

volatile sig_atomic_t gInterrupts = 0;

void OnInterrupt(int) {
  if (gInterrupts >= 1) _exit(130);
  gInterrupts = gInterrupts + 1;
}

}  // namespace

const char* const kModuleFileName = "liblumodownload.so";

void* OpenLibrary(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    error = reason ? reason : "dlopen failed";
  }
  return library;
}

void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

void WatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int InterruptCount() { return static_cast<int>(gInterrupts); }

}  // namespace lumoget
