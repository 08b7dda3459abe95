// The engine's checksum-manifest parser on arbitrary manifests: it never reads out of bounds,
// an answer is always a lower-case 32-digit digest, and a digest line appended for a fresh name
// is always found again whatever came before it.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "checksum_manifest.h"
#include "fuzz_check.h"

namespace {

void CheckDigest(const std::string& digest) {
  FUZZ_CHECK(digest.size() == 32);
  for (char c : digest) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string fileName = input.ConsumeRandomLengthString(64);
  const std::string url = input.ConsumeRandomLengthString(128);
  const std::string manifest = input.ConsumeRemainingBytesAsString();

  std::string digest;
  if (zdl::FindManifestDigest(manifest, fileName, url, &digest) == zdl::ManifestMatch::kFound) {
    CheckDigest(digest);
    FUZZ_CHECK(!fileName.empty());
  }

  // A name no line of the manifest can hold (it has a byte no line holds after the split).
  const std::string fresh = "fresh-name.bin";
  if (manifest.find(fresh) != std::string::npos) return 0;
  const std::string line = "0123456789ABCDEFabcdef0123456789 *" + fresh + "\r\n";
  for (const std::string& joint : {std::string("\n"), std::string("\r\n")}) {
    std::string found;
    FUZZ_CHECK(zdl::FindManifestDigest(manifest + joint + line, fresh, url, &found) ==
               zdl::ManifestMatch::kFound);
    FUZZ_CHECK(found == "0123456789abcdefabcdef0123456789");
  }
  return 0;
}
