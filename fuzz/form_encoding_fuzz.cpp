// Form encoding of telemetry bodies: every value survives a decode byte for byte, only the
// unreserved bytes travel unencoded, and the body is a clean "&"-joined list in key order.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "telemetry/form_encoding.h"

namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

// Decodes what UrlEncodeValue produced, checking its shape on the way.
std::string DecodeStrict(const std::string& encoded) {
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c == '%') {
      FUZZ_CHECK(i + 2 < encoded.size());
      const char hi = encoded[i + 1], lo = encoded[i + 2];
      // Upper-case hexadecimal digits only.
      FUZZ_CHECK(lumo_fuzz::IsHexDigit(hi) && !(hi >= 'a' && hi <= 'f'));
      FUZZ_CHECK(lumo_fuzz::IsHexDigit(lo) && !(lo >= 'a' && lo <= 'f'));
      const unsigned char byte =
          static_cast<unsigned char>(lumo_fuzz::HexValue(hi) * 16 + lumo_fuzz::HexValue(lo));
      // A byte that may travel as it is never gets encoded.
      FUZZ_CHECK(!IsUnreserved(byte));
      out.push_back(static_cast<char>(byte));
      i += 2;
    } else {
      FUZZ_CHECK(IsUnreserved(c));
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);

  // One value on its own.
  const std::string value = input.ConsumeRandomLengthString(4096);
  const std::string encoded = lumo::UrlEncodeValue(value);
  FUZZ_CHECK(encoded.size() >= value.size() && encoded.size() <= value.size() * 3);
  FUZZ_CHECK(DecodeStrict(encoded) == value);

  // A whole form. Keys are the record's field names in practice (letters and underscores);
  // values are anything a site may put in a record.
  std::map<std::string, std::string> pairs;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 32);
  for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string key = input.ConsumeRandomLengthString(24);
    for (char& c : key) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_')) c = 'k';
    }
    pairs[key] = input.ConsumeRandomLengthString(256);
  }
  const std::string body = lumo::FormEncode(pairs);

  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& pair : pairs) {
    if (!pair.first.empty() && !pair.second.empty()) expected.push_back(pair);
  }
  if (expected.empty()) {
    FUZZ_CHECK(body.empty());
    return 0;
  }
  FUZZ_CHECK(body.front() != '&' && body.back() != '&');
  size_t pos = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    size_t end = body.find('&', pos);
    if (end == std::string::npos) end = body.size();
    const std::string item = body.substr(pos, end - pos);
    const size_t eq = item.find('=');
    FUZZ_CHECK(eq != std::string::npos);
    FUZZ_CHECK(item.substr(0, eq) == expected[i].first);
    FUZZ_CHECK(DecodeStrict(item.substr(eq + 1)) == expected[i].second);
    FUZZ_CHECK((end == body.size()) == (i + 1 == expected.size()));
    pos = end + 1;
  }
  return 0;
}
