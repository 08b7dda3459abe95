// Facts about this machine for telemetry, and the GUID text that names a transfer attempt.
#pragma once

#include <string>
#include <vector>

namespace lumo {

// Process-wide cached facts. A non-empty answer is kept for the life of the process; an empty
// one makes the next call ask the system again. Safe to call from any thread.
std::string GetMacAddress();  // "AA:BB:CC:DD:EE:FF" or empty
std::string GetHostName();    // empty on failure
std::string GetLocalIp();     // first IPv4 address of the host name, else "127.0.0.1" (cached too)

// Host part of a URL: after the first "//" (the whole text without one), before the first
// "/" and then the first ":".
std::string UrlHost(const std::string& url);
// IPv4 addresses of a host in resolver order, dotted decimal; not cached.
std::vector<std::string> ResolveIPv4List(const std::string& host);
// The addresses of the URL's host joined by ","; empty when it does not resolve.
std::string CdnAddressList(const std::string& url);

// A fresh GUID as 36 lower-case characters in 8-4-4-4-12 groups; *out is unchanged (and the
// result false) when the generator fails.
bool NewGuidText(std::string* out);

// Empties the three caches so tests can watch them fill. Not for production code.
void ResetMachineCachesForTest();

}  // namespace lumo
