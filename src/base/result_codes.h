// Result codes of downloads and their messages, and how a code is kept in a file record.
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

// A file record holds this until its job stores a result; it has no message of its own.
constexpr int32_t kResultPending = 9;

// Message of a result code; the signed decimal digits for a code outside 0 to 8.
std::string ResultMessage(int32_t code);
// The code a file record keeps: 0 to 8 unchanged, anything else 1 ("General error").
int32_t StoredResultCode(int32_t code);

}  // namespace lumo
