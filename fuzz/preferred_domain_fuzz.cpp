// The preferred-domain search on arbitrary configuration answers agrees with the regular
// expression it stands for, and the reordering it drives is a permutation that puts the
// domain's URLs first (in reverse) and keeps the others in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "source/preferred_domain.h"

namespace {

using lumo::PreferredDomain;

void CheckFind(const std::string& body) {
  std::string domain = "untouched";
  const PreferredDomain::Match match = PreferredDomain::FindDomain(body, &domain);
  if (match != PreferredDomain::Match::kFound) FUZZ_CHECK(domain == "untouched");
  // The regular expression itself recurses per character: only short bodies are compared.
  if (body.size() > 2048) return;
  static const std::regex expression("domain\":\"([^\"]*)\"", std::regex::ECMAScript);
  std::smatch reference;
  const bool found = std::regex_search(body, reference, expression);
  if (!found) {
    FUZZ_CHECK(match == PreferredDomain::Match::kNone);
  } else if (match == PreferredDomain::Match::kFound) {
    FUZZ_CHECK(domain == reference[1].str());
  } else {
    FUZZ_CHECK(match == PreferredDomain::Match::kTooLong);
    FUZZ_CHECK(reference[1].length() > 1024);
  }
}

void CheckReorder(const std::vector<std::string>& urls, const std::string& domain) {
  const std::vector<std::string> out = PreferredDomain::Reorder(urls, domain);
  FUZZ_CHECK(out.size() == urls.size());
  std::vector<std::string> matching, others;
  for (const std::string& url : urls) {
    (url.find(domain) != std::string::npos ? matching : others).push_back(url);
  }
  std::reverse(matching.begin(), matching.end());
  std::vector<std::string> expected = matching;
  expected.insert(expected.end(), others.begin(), others.end());
  FUZZ_CHECK(out == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> urls;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i) urls.push_back(input.ConsumeRandomLengthString(64));
  const std::string body = input.ConsumeRemainingBytesAsString();
  CheckFind(body);
  std::string domain;
  if (PreferredDomain::FindDomain(body, &domain) == PreferredDomain::Match::kFound) {
    CheckReorder(urls, domain);
  }
  if (!urls.empty()) CheckReorder(urls, urls.front().substr(0, urls.front().size() / 2));
  return 0;
}
