#include "machine/machine_identity.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <new>

#include "base/helper_threads.h"
#include "platform/mutex.h"
#include "platform/platform.h"

namespace lumo {
namespace {

constexpr char kLoopbackAddress[] = "127.0.0.1";

// One cached text; the lock is held while it fills, so concurrent first callers query once.
struct CachedText {
  Mutex lock;
  std::string value GUARDED_BY(lock);

  template <typename Query>
  std::string Get(Query query) {
    MutexLock guard(lock);
    if (value.empty()) value = query();
    return value;
  }
  void Reset() {
    MutexLock guard(lock);
    value.clear();
  }
};

// One fact fetched by a helper thread (see the header for the rules). Shared with its helper,
// which may outlive every other holder.
class Fact : public std::enable_shared_from_this<Fact> {
 public:
  using Clock = std::chrono::steady_clock;

  // keepNonEmpty: a non-empty answer never expires.
  std::string Get(std::function<std::string()> query, bool keepNonEmpty,
                  std::chrono::milliseconds firstWait) {
    MutexLock hold(lock_);
    const bool expired = !known_ || ((!keepNonEmpty || value_.empty()) &&
                                     Clock::now() - fetchedAt_ >= kFactRetry);
    if (!expired || fetching_) return value_;
    fetching_ = true;
    uint64_t helper = 0;
    try {
      helper = HelperThreads::Instance().Launch([self = shared_from_this(), query] {
        std::string answer;
        try {
          answer = query();
        } catch (...) {
        }
        self->Store(std::move(answer));
      });
    } catch (...) {
    }
    if (helper == 0) {
      fetching_ = false;
      return value_;
    }
    // Only a caller with nothing to show waits, and only for its own fetch.
    if (!known_) {
      const Clock::time_point until = Clock::now() + firstWait;
      while (fetching_ && changed_.WaitUntil(lock_, until)) {
      }
      if (!fetching_) {
        const std::string answer = value_;
        hold.Unlock();
        HelperThreads::Instance().Join(helper);  // its answer is in: it is ending
        return answer;
      }
    }
    return value_;
  }

  // Back to "never asked"; a fetch in flight still lands.
  void Reset() {
    MutexLock hold(lock_);
    value_.clear();
    known_ = false;
  }

 private:
  void Store(std::string answer) {
    MutexLock hold(lock_);
    value_ = std::move(answer);
    known_ = true;
    fetchedAt_ = Clock::now();
    fetching_ = false;
    changed_.NotifyAll();
  }

  Mutex lock_;
  CondVar changed_;
  std::string value_ GUARDED_BY(lock_);
  bool known_ GUARDED_BY(lock_) = false;     // an answer arrived (maybe empty)
  bool fetching_ GUARDED_BY(lock_) = false;  // a helper is asking
  Clock::time_point fetchedAt_ GUARDED_BY(lock_);
};

constexpr size_t kMaxCachedHosts = 32;

// Host addresses, one fact per host; when full, the cache starts afresh.
class AddressFacts {
 public:
  std::shared_ptr<Fact> For(const std::string& host) {
    MutexLock hold(lock_);
    std::shared_ptr<Fact>& fact = facts_[host];
    if (!fact) {
      if (facts_.size() > kMaxCachedHosts) {
        facts_.clear();
        return facts_[host] = std::make_shared<Fact>();
      }
      fact = std::make_shared<Fact>();
    }
    return fact;
  }
  void Reset() {
    MutexLock hold(lock_);
    facts_.clear();
  }

 private:
  Mutex lock_;
  std::map<std::string, std::shared_ptr<Fact>> facts_ GUARDED_BY(lock_);
};

// Built on first use and never destroyed: callers may run during other objects' static
// initialisation, and helpers may finish after the module's static objects are gone.
struct Caches {
  std::shared_ptr<Fact> mac = std::make_shared<Fact>();
  CachedText hostName;
  std::shared_ptr<Fact> localIp = std::make_shared<Fact>();
  AddressFacts addresses;
};

Caches& MachineCaches() {
  alignas(Caches) static unsigned char storage[sizeof(Caches)];
  static Caches* const caches = new (storage) Caches();
  return *caches;
}

std::string JoinedAddresses(const std::string& host) {
  std::string joined;
  for (const std::string& address : ResolveIPv4List(host)) {
    if (!joined.empty()) joined += ',';
    joined += address;
  }
  return joined;
}

}  // namespace

std::string GetMacAddress() {
  return MachineCaches().mac->Get([] { return platform::QueryMacAddress(); },
                                 /*keepNonEmpty=*/true, kMacFirstWait);
}

std::string GetHostName() {
  return MachineCaches().hostName.Get([] { return platform::QueryHostName(); });
}

std::string GetLocalIp() {
  const std::string hostName = GetHostName();
  const std::string ip = MachineCaches().localIp->Get(
      [hostName] {
        const std::vector<std::string> addresses = ResolveIPv4List(hostName);
        return addresses.empty() ? std::string() : addresses.front();
      },
      /*keepNonEmpty=*/true, kFirstAnswerWait);
  return ip.empty() ? std::string(kLoopbackAddress) : ip;
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
  const std::string host = UrlHost(url);
  if (host.empty()) return std::string();
  return MachineCaches().addresses.For(host)->Get([host] { return JoinedAddresses(host); },
                                                 /*keepNonEmpty=*/false, kFirstAnswerWait);
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
  caches.mac->Reset();
  caches.hostName.Reset();
  caches.localIp->Reset();
  caches.addresses.Reset();
}

}  // namespace lumo
