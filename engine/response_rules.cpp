#include "response_rules.h"

namespace zdl {
namespace {

// Decimal digits only (no sign, no blanks), without overflow.
bool ParseDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool EqualsNoCase(const std::string& text, const char* word) {
  size_t i = 0;
  for (; i < text.size() && word[i] != '\0'; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return i == text.size() && word[i] == '\0';
}

bool IsStrongETag(const std::string& etag) { return !etag.empty() && etag.compare(0, 2, "W/") != 0; }

}  // namespace

bool ParseContentRange(const std::string& text, bool* hasStart, uint64_t* start, uint64_t* total) {
  if (text.compare(0, 6, "bytes ") != 0) return false;
  const size_t slash = text.find('/', 6);
  if (slash == std::string::npos) return false;
  const std::string range = text.substr(6, slash - 6);
  const std::string size = text.substr(slash + 1);
  uint64_t length = 0;
  if (size != "*" && !ParseDecimal(size, &length)) return false;
  if (range == "*") {
    if (size == "*") return false;  // "bytes */*" says nothing
    *hasStart = false;
    *total = length;
    return true;
  }
  const size_t dash = range.find('-');
  uint64_t first = 0, last = 0;
  if (dash == std::string::npos || !ParseDecimal(range.substr(0, dash), &first) ||
      !ParseDecimal(range.substr(dash + 1), &last) || last < first) {
    return false;
  }
  if (size != "*" && last >= length) return false;
  *hasStart = true;
  *start = first;
  *total = length;
  return true;
}

bool IsUsableValidator(const std::string& value) {
  if (value.empty() || value.size() > kMaxValidatorBytes) return false;
  for (char c : value) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string ValidatorOf(const ResponseHead& head) {
  if (IsStrongETag(head.etag)) return IsUsableValidator(head.etag) ? head.etag : std::string();
  return IsUsableValidator(head.lastModified) ? head.lastModified : std::string();
}

std::string ValidatorFromMeta(const std::string& text) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return IsUsableValidator(line) ? line : std::string();
}

bool AnswerCarriesValidator(const ResponseHead& head, const std::string& validator) {
  if (!IsUsableValidator(validator)) return false;
  return (IsStrongETag(head.etag) && head.etag == validator) || head.lastModified == validator;
}

bool IsIdentityEncoding(const ResponseHead& head) {
  return head.contentEncoding.empty() || EqualsNoCase(head.contentEncoding, "identity");
}

AnswerPlan PlanAnswer(const ResponseHead& head, uint64_t offset, const std::string& validator) {
  AnswerPlan plan;
  bool hasStart = false;
  uint64_t start = 0, total = 0;
  if (head.status == 416 && offset > 0) {
    // Only the same file, no longer than the part, makes the part a finished file.
    plan.use = AnswerUse::kRestart;
    if (!ParseContentRange(head.contentRange, &hasStart, &start, &total) || hasStart ||
        total != offset) {
      return plan;
    }
    if (AnswerCarriesValidator(head, validator)) {
      plan.use = AnswerUse::kAlreadyComplete;
      plan.total = total;
    } else if (IsUsableValidator(validator) && head.etag.empty() && head.lastModified.empty()) {
      // Servers (nginx among them) send no validator with a 416: the last byte can prove it.
      plan.use = AnswerUse::kConfirmEnd;
      plan.total = total;
    }
    return plan;
  }
  if (head.status < 200 || head.status >= 300) {
    plan.use = AnswerUse::kHttpError;
    return plan;
  }
  if (!IsIdentityEncoding(head)) {
    plan.use = AnswerUse::kEncoded;
    return plan;
  }
  if (head.status != 206) {
    plan.use = AnswerUse::kWholeFile;
    plan.total = head.hasContentLength ? head.contentLength : 0;
    return plan;
  }
  // A range that is not the continuation of our part, or bytes of another version of the file
  // (a server that honours Range but ignores If-Range), would be spliced onto the part.
  if (!ParseContentRange(head.contentRange, &hasStart, &start, &total) || !hasStart ||
      start != offset || (offset > 0 && !AnswerCarriesValidator(head, validator))) {
    plan.use = AnswerUse::kRestart;
    return plan;
  }
  if (total == 0 && head.hasContentLength && head.contentLength > 0 &&
      head.contentLength <= UINT64_MAX - offset) {
    total = offset + head.contentLength;
  }
  plan.use = AnswerUse::kAppend;
  plan.total = total;
  return plan;
}

bool ConfirmsEnd(const ResponseHead& head, uint64_t partSize, const std::string& validator) {
  if (partSize == 0) return false;
  const AnswerPlan plan = PlanAnswer(head, partSize - 1, validator);
  return plan.use == AnswerUse::kAppend && plan.total == partSize &&
         AnswerCarriesValidator(head, validator);
}

}  // namespace zdl
