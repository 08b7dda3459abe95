// Preloaded into a teardown scenario (LD_PRELOAD): once armed, every getaddrinfo of the process
// sleeps first, as a resolver that does not answer for seconds would. The scenario arms it
// after its own servers are up and asks it whether a look-up is still asleep.
#include <dlfcn.h>
#include <netdb.h>
#include <time.h>

#include <atomic>

#define LUMO_EXPORT extern "C" __attribute__((visibility("default")))

static std::atomic<int> g_delayMs{0}, g_asleep{0};

LUMO_EXPORT void lumo_slow_resolver_arm(int delayMs) { g_delayMs.store(delayMs); }
LUMO_EXPORT int lumo_slow_resolver_asleep() { return g_asleep.load(); }

LUMO_EXPORT int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                            addrinfo** result) {
  static const auto next =
      reinterpret_cast<decltype(&getaddrinfo)>(dlsym(RTLD_NEXT, "getaddrinfo"));
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
