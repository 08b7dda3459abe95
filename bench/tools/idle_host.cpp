// A launcher that loads the module, starts it with an empty queue and does nothing else for a
// while, then reports the CPU time the process used over that window.
//
//   idle_host MODULE SECONDS [POLL_MS]
//
// POLL_MS > 0 makes the host read the progress and statistics that often, as a launcher's
// progress display (and lumoget) does.
#include <dlfcn.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "lumo/lumo_downloader.h"

namespace {

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long Switches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: idle_host MODULE SECONDS [POLL_MS]\n");
    return 2;
  }
  const double window = std::atof(argv[2]);
  const int pollMs = argc > 3 ? std::atoi(argv[3]) : 0;

  const double loadStart = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  auto init = reinterpret_cast<LumoInitFn>(dlsym(library, "mod_lumoinit"));
  auto term = reinterpret_cast<LumoTermFn>(dlsym(library, "mod_lumoterm"));
  auto getObject = reinterpret_cast<LumoGetObjectFn>(dlsym(library, "mod_lumogetobject"));
  if (init == nullptr || term == nullptr || getObject == nullptr) {
    std::fprintf(stderr, "the module lacks an export\n");
    return 2;
  }
  std::string initText;
  LumoString initString = LumoStringFor(initText);
  if (init(&initString) < 0) {
    std::fprintf(stderr, "mod_lumoinit failed: %s\n", initText.c_str());
    return 2;
  }
  ILumoDownloader* downloader = nullptr;
  if (getObject(&IID_ILumoDownloader, reinterpret_cast<void**>(&downloader)) < 0 ||
      downloader == nullptr) {
    std::fprintf(stderr, "mod_lumogetobject failed\n");
    return 2;
  }
  if (downloader->Start() < 0) {
    std::fprintf(stderr, "Start failed\n");
    return 2;
  }
  const double startCpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double startWall = Seconds(CLOCK_MONOTONIC);
  const long startSwitches = Switches();

  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::microseconds(static_cast<long long>(window * 1e6));
  if (pollMs > 0) {
    while (std::chrono::steady_clock::now() < end) {
      uint32_t state = 0, average = 0, current = 0;
      uint64_t bytes = 0;
      std::string path;
      LumoString pathText = LumoStringFor(path);
      downloader->GetProgress(&state, &bytes, &average, &current, &pathText);
      DownloadStatus status{};
      downloader->GetStatistics(&status);
      std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
  } else {
    std::this_thread::sleep_until(end);
  }

  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - startCpu;
  const double wall = Seconds(CLOCK_MONOTONIC) - startWall;
  const long switches = Switches() - startSwitches;
  std::printf("load, init and start: %.1f ms CPU\n", (startCpu - loadStart) * 1000);
  std::printf("idle window: %.1f s wall, %.2f ms CPU, %.4f %% of one core, %ld context switches\n",
              wall, cpu * 1000, cpu / wall * 100, switches);

  downloader->Stop(0);
  downloader->Release();
  term();
  return 0;
}
