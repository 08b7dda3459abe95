// UrlHost on arbitrary texts: the host is a piece of the URL without "/" or ":", and a URL
// built from a scheme, a host, a port and a path gives that host back.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz_check.h"
#include "machine/machine_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string url = input.ConsumeRandomLengthString(1024);
  const std::string host = lumo::UrlHost(url);
  FUZZ_CHECK(host.size() <= url.size());
  FUZZ_CHECK(url.find(host) != std::string::npos);
  FUZZ_CHECK(host.find('/') == std::string::npos && host.find(':') == std::string::npos);
  if (url.empty()) FUZZ_CHECK(host.empty());

  std::string name = input.ConsumeRandomLengthString(64);
  for (char& c : name) {
    if (c == '/' || c == ':' || c == '?') c = 'h';
  }
  const std::string port = input.ConsumeBool() ? ":" + std::to_string(input.ConsumeIntegral<uint16_t>()) : "";
  const std::string path = input.ConsumeBool() ? "/" + input.ConsumeRemainingBytesAsString() : "";
  FUZZ_CHECK(lumo::UrlHost("http://" + name + port + path) == name);
  return 0;
}
