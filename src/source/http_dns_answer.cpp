#include "source/http_dns_answer.h"

#include <vector>

namespace lumo {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Fields of one line, split at runs of spaces.
std::vector<std::string> Fields(const std::string& body, size_t begin, size_t end) {
  std::vector<std::string> fields;
  size_t i = begin;
  while (i < end) {
    while (i < end && body[i] == ' ') ++i;
    const size_t start = i;
    while (i < end && body[i] != ' ') ++i;
    if (i > start) fields.push_back(body.substr(start, i - start));
  }
  return fields;
}

// The lifetime a text of decimal digits ("^\d+$" as a whole) gives, or the default.
double LifetimeOf(const std::string& text) {
  if (text.empty()) return HttpDnsAnswer::kDefaultLifetimeSeconds;
  for (char c : text) {
    if (!IsDigit(c)) return HttpDnsAnswer::kDefaultLifetimeSeconds;
  }
  size_t first = 0;
  while (first < text.size() && text[first] == '0') ++first;
  // Ten significant digits are already far beyond the bound; longer texts are not summed.
  if (text.size() - first > 10) return HttpDnsAnswer::kDefaultLifetimeSeconds;
  double value = 0;
  for (size_t i = first; i < text.size(); ++i) value = value * 10 + (text[i] - '0');
  const double lifetime = value * HttpDnsAnswer::kLifetimeFactor;
  if (lifetime > HttpDnsAnswer::kMaxLifetimeSeconds) return HttpDnsAnswer::kDefaultLifetimeSeconds;
  return lifetime;
}

}  // namespace

bool IsDottedQuadIPv4(const std::string& text) {
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    unsigned value = 0;
    while (i < text.size() && IsDigit(text[i]) && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
  }
  return i == text.size();
}

HttpDnsAnswer ParseHttpDnsAnswer(const std::string& body) {
  HttpDnsAnswer answer;
  std::string lifetimeText;
  bool firstLine = true;
  size_t begin = 0;
  while (begin < body.size()) {
    size_t end = body.find('\n', begin);
    if (end == std::string::npos) end = body.size();
    if (end > begin) {  // empty lines are dropped, not counted
      const std::vector<std::string> fields = Fields(body, begin, end);
      if (!fields.empty()) {
        if (IsDottedQuadIPv4(fields.front())) {
          if (answer.addresses.size() < HttpDnsAnswer::kMaxAddresses) {
            answer.addresses.insert(fields.front());
          }
        } else if (answer.skipped++ == 0) {
          answer.firstSkipped = fields.front();
        }
        if (firstLine) lifetimeText = fields.back();
      }
      firstLine = false;
    }
    begin = end + 1;
  }
  answer.lifetimeSeconds = LifetimeOf(lifetimeText);
  return answer;
}

}  // namespace lumo
