// What a transfer may make of a server's answer. Mirrors are reached over plain HTTP and may be
// spoofed or simply wrong, so a part file is continued only with an answer that proves it is the
// same file, and a saved validator goes back into a request only when it is one clean line.
#pragma once

#include <stdint.h>

#include <string>

#include "transport/transport.h"

namespace zdl {

// The saved validator and each header value it is compared with are at most this long.
constexpr size_t kMaxValidatorBytes = 1024;

// "bytes a-b/n" -> start a, total n (0 when "*"); "bytes */n" -> no start, total n. False when
// the text is not one of these forms (also when b < a or b >= n).
bool ParseContentRange(const std::string& text, bool* hasStart, uint64_t* start, uint64_t* total);

// A validator usable in If-Range: a strong ETag, else Last-Modified, else empty; empty too when
// the value is not a usable validator.
std::string ValidatorOf(const ResponseHead& head);

// One line of printable ASCII, not empty, at most kMaxValidatorBytes: what may become a header.
bool IsUsableValidator(const std::string& value);

// The validator held in the text of a ".part.meta" file (one line, a line end allowed); empty
// when the text holds none that is usable.
std::string ValidatorFromMeta(const std::string& text);

// True when the answer carries `validator` as its strong ETag or as its Last-Modified date.
bool AnswerCarriesValidator(const ResponseHead& head, const std::string& validator);

// True when the body is sent as it is stored: no Content-Encoding, or "identity".
bool IsIdentityEncoding(const ResponseHead& head);

// How a session uses the answer to its request for the bytes from `offset` on (0: the whole
// file), given the validator saved with the part.
enum class AnswerUse {
  kAppend,           // continues the part at offset: same file, right range
  kWholeFile,        // the whole file from byte 0
  kRestart,          // cannot continue the part: start again from zero
  kAlreadyComplete,  // 416 for a part that provably holds the whole file already
  kConfirmEnd,       // 416 with the part's size but no validator: ask for the last byte, whose
                     // answer (a 206 carrying the validator) proves the part whole or not
  kHttpError,        // the status ends the transfer
  kEncoded,          // a body in an encoding not asked for: not the file's bytes
};

struct AnswerPlan {
  AnswerUse use = AnswerUse::kHttpError;
  uint64_t total = 0;  // size of the whole file; 0 when unknown
};

AnswerPlan PlanAnswer(const ResponseHead& head, uint64_t offset, const std::string& validator);

// The answer to the request for the last byte of a part of `partSize` bytes (kConfirmEnd):
// true when it proves the part is the whole file.
bool ConfirmsEnd(const ResponseHead& head, uint64_t partSize, const std::string& validator);

}  // namespace zdl
