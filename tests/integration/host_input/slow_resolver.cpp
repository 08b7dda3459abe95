// Preloaded into a teardown scenario (LD_PRELOAD): once armed, every getaddrinfo of the process
// sleeps first, as a resolver that does not answer for seconds would. The scenario arms it
// after its own servers are up and asks it whether a look-up is still asleep.
#include <dlfcn.h>
#include <netdb.h>
#include <time.h>

#include <atomic>

namespace {

std::atomic<int> g_delayMs{0};
std::atomic<int> g_asleep{0};

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

}  // namespace

extern "C" __attribute__((visibility("default"))) void lumo_slow_resolver_arm(int delayMs) {
  g_delayMs.store(delayMs);
}

extern "C" __attribute__((visibility("default"))) int lumo_slow_resolver_asleep() {
  return g_asleep.load();
}

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node,
                                                                  const char* service,
                                                                  const addrinfo* hints,
                                                                  addrinfo** result) {
  static const GetAddrInfo next = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
  const int delayMs = g_delayMs.load();
  if (delayMs > 0) {
    g_asleep.fetch_add(1);
    timespec pause{delayMs / 1000, (delayMs % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
    g_asleep.fetch_sub(1);
  }
  return next == nullptr ? EAI_FAIL : next(node, service, hints, result);
}
