// Facts about this machine for telemetry, and the GUID text that names a transfer attempt.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace lumo {

inline constexpr std::chrono::milliseconds kFirstAnswerWait{100};
inline constexpr std::chrono::milliseconds kMacFirstWait{2000};
inline constexpr std::chrono::seconds kFactRetry{60};

// Process-wide cached facts, safe to call from any thread. The MAC address and the addresses
// come from calls that no quit can interrupt (WMI, the resolver): a helper thread fetches them
// and a caller waits only for the first answer it asked for, within a bound (kFirstAnswerWait
// for addresses, kMacFirstWait for the MAC); later callers take the cached value, possibly
// stale, while a refresh runs. A non-empty MAC or local IP is kept for good; an empty one is
// asked for again at most once a minute (kFactRetry). Host addresses expire after kFactRetry.
std::string GetMacAddress();  // "AA:BB:CC:DD:EE:FF" or empty
std::string GetHostName();    // empty on failure
std::string GetLocalIp();     // first IPv4 address of the host name, else "127.0.0.1"

// Host part of a URL: after the first "//" (the whole text without one), before the first
// "/" and then the first ":".
std::string UrlHost(const std::string& url);
// IPv4 addresses of a host in resolver order, dotted decimal; not cached, blocks while the
// resolver works.
std::vector<std::string> ResolveIPv4List(const std::string& host);
// The addresses of the URL's host joined by ","; empty when it does not resolve or no answer
// is known yet. From the per-host cache above.
std::string CdnAddressList(const std::string& url);

// A fresh GUID as 36 lower-case characters in 8-4-4-4-12 groups; *out is unchanged (and the
// result false) when the generator fails.
bool NewGuidText(std::string* out);

// Empties the caches so tests can watch them fill. Not for production code.
void ResetMachineCachesForTest();

}  // namespace lumo
