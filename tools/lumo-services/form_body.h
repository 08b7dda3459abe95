// Reading and writing URL-encoded form bodies as the module's telemetry sends them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lumo::services {

using FormPairs = std::vector<std::pair<std::string, std::string>>;

// Splits key=value&key=value, percent-decoding the values. Keys are kept as sent.
// Returns false when a pair has no "=" or an escape is not %XX.
bool ParseForm(const std::string& body, FormPairs& pairs);

// The value of key, or "" when absent.
std::string FormValue(const FormPairs& pairs, const std::string& key);

// Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ with upper-case hex digits.
std::string PercentEncode(const std::string& value);

// Encodes pairs in the given order, leaving out pairs with an empty key or value.
std::string EncodeForm(const FormPairs& pairs);

// "%XX" escapes decoded; false on a malformed escape.
bool PercentDecode(const std::string& text, std::string& out);

}  // namespace lumo::services
