#include "machine/machine_identity.h"

#include <cctype>
#include <cstdio>
#include <mutex>

#include "platform/platform.h"

namespace lumo {
namespace {

constexpr char kLoopbackAddress[] = "127.0.0.1";

// One cached text; the lock is held while it fills, so concurrent first callers query once.
struct CachedText {
  std::mutex lock;
  std::string value;  // guarded by lock

  template <typename Query>
  std::string Get(Query query) {
    std::lock_guard<std::mutex> guard(lock);
    if (value.empty()) value = query();
    return value;
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    value.clear();
  }
};

// Built on first use: callers may run during other objects' static initialisation.
struct Caches {
  CachedText mac;
  CachedText hostName;
  CachedText localIp;
};

Caches& MachineCaches() {
  static Caches caches;
  return caches;
}

}  // namespace

std::string GetMacAddress() {
  return MachineCaches().mac.Get([] { return platform::QueryMacAddress(); });
}

std::string GetHostName() {
  return MachineCaches().hostName.Get([] { return platform::QueryHostName(); });
}

std::string GetLocalIp() {
  return MachineCaches().localIp.Get([] {
    std::vector<std::string> addresses = platform::ResolveIPv4(GetHostName());
    return addresses.empty() ? std::string(kLoopbackAddress) : addresses.front();
  });
}

std::string UrlHost(const std::string& url) {
  if (url.empty()) return std::string();
  size_t start = url.find("//");
  start = start == std::string::npos ? 0 : start + 2;
  std::string host = url.substr(start);
  host = host.substr(0, host.find('/'));
  return host.substr(0, host.find(':'));
}

std::vector<std::string> ResolveIPv4List(const std::string& host) {
  if (host.empty()) return {};
  return platform::ResolveIPv4(host);
}

std::string CdnAddressList(const std::string& url) {
  std::string joined;
  for (const std::string& address : ResolveIPv4List(UrlHost(url))) {
    if (!joined.empty()) joined += ',';
    joined += address;
  }
  return joined;
}

bool NewGuidText(std::string* out) {
  platform::GuidFields guid;
  if (out == nullptr || !platform::NewGuid(&guid)) return false;
  char buffer[64] = {};
  std::snprintf(buffer, sizeof(buffer), "%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(guid.data1), static_cast<unsigned>(guid.data2),
                static_cast<unsigned>(guid.data3), guid.data4[0], guid.data4[1], guid.data4[2],
                guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
  std::string text(buffer);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  *out = text;
  return true;
}

void ResetMachineCachesForTest() {
  Caches& caches = MachineCaches();
  caches.mac.Reset();
  caches.hostName.Reset();
  caches.localIp.Reset();
}

}  // namespace lumo
