// The text answer of the HTTP DNS service, parsed: one address per line as the line's first
// field, and the lifetime in seconds as the last field of the first line. A pure function of
// the text, whatever the server sent.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace lumo {

struct HttpDnsAnswer {
  static constexpr double kDefaultLifetimeSeconds = 300;
  static constexpr double kLifetimeFactor = 0.9;
  // Longer lifetimes are not believed: a record would outlive any sensible DNS change.
  static constexpr double kMaxLifetimeSeconds = 7 * 24 * 3600;
  // Each address costs a file two attempts: a long answer must not hold the queue for hours.
  static constexpr size_t kMaxAddresses = 8;

  // The first kMaxAddresses distinct dotted-quad IPv4 texts of the answer (the others are
  // ignored), in ascending byte order.
  std::set<std::string> addresses;
  double lifetimeSeconds = kDefaultLifetimeSeconds;
  // First fields that were not IPv4 addresses: they would end up in the host part of a
  // download URL, so they are left out.
  size_t skipped = 0;
  std::string firstSkipped;
};

// Lines end at every "\n" (a "\r" stays part of its line); empty lines are dropped. Fields are
// split at runs of spaces. The lifetime is the first line's last field when it is all decimal
// digits: its value times 0.9; otherwise, or when that exceeds seven days, 300 s.
HttpDnsAnswer ParseHttpDnsAnswer(const std::string& body);

// Four decimal numbers 0 to 255 joined by dots, without leading zeros (which some resolvers
// read as octal).
bool IsDottedQuadIPv4(const std::string& text);

}  // namespace lumo
