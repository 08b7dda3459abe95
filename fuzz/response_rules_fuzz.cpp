// What a session makes of a server's answer, on arbitrary answers: a saved validator read back
// is one printable line or nothing, a part is continued only by a 206 that starts at its end
// and carries its validator, a 416 finishes a part only with the part's size and validator (in
// the 416 itself or in the answer for the last byte), and an encoded body is never taken as the
// file.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz_check.h"
#include "response_rules.h"

namespace {

bool Printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  zdl::ResponseHead head;
  head.status = input.ConsumeIntegralInRange<uint32_t>(100, 599);
  head.hasContentLength = input.ConsumeBool();
  head.contentLength = input.ConsumeIntegral<uint64_t>();
  head.etag = input.ConsumeRandomLengthString(64);
  head.lastModified = input.ConsumeRandomLengthString(64);
  head.contentRange = input.ConsumeRandomLengthString(64);
  head.contentEncoding = input.ConsumeRandomLengthString(16);
  const uint64_t offset = input.ConsumeBool() ? input.ConsumeIntegral<uint64_t>()
                                              : input.ConsumeIntegralInRange<uint64_t>(0, 4096);
  const std::string meta = input.ConsumeRemainingBytesAsString();

  // The validator of a .part.meta becomes a request header: one clean line or nothing.
  const std::string validator = zdl::ValidatorFromMeta(meta);
  FUZZ_CHECK(validator.empty() || (zdl::IsUsableValidator(validator) && Printable(validator)));
  FUZZ_CHECK(meta.compare(0, validator.size(), validator) == 0);
  const std::string own = zdl::ValidatorOf(head);
  FUZZ_CHECK(own.empty() || zdl::IsUsableValidator(own));

  bool hasStart = false;
  uint64_t start = 0, total = 0;
  if (zdl::ParseContentRange(head.contentRange, &hasStart, &start, &total)) {
    if (hasStart && total != 0) FUZZ_CHECK(start < total);
  }

  const zdl::AnswerPlan plan = zdl::PlanAnswer(head, offset, validator);
  switch (plan.use) {
    case zdl::AnswerUse::kAppend:
      FUZZ_CHECK(head.status == 206 && zdl::IsIdentityEncoding(head));
      FUZZ_CHECK(zdl::ParseContentRange(head.contentRange, &hasStart, &start, &total));
      FUZZ_CHECK(hasStart && start == offset);
      if (offset > 0) FUZZ_CHECK(zdl::AnswerCarriesValidator(head, validator));
      if (plan.total != 0) FUZZ_CHECK(plan.total > offset);
      break;
    case zdl::AnswerUse::kAlreadyComplete:
      FUZZ_CHECK(head.status == 416 && offset > 0 && plan.total == offset);
      FUZZ_CHECK(zdl::AnswerCarriesValidator(head, validator));
      break;
    case zdl::AnswerUse::kConfirmEnd:
      FUZZ_CHECK(head.status == 416 && offset > 0 && plan.total == offset);
      FUZZ_CHECK(zdl::IsUsableValidator(validator));
      FUZZ_CHECK(head.etag.empty() && head.lastModified.empty());
      break;
    case zdl::AnswerUse::kWholeFile:
      FUZZ_CHECK(head.status >= 200 && head.status < 300 && head.status != 206);
      FUZZ_CHECK(zdl::IsIdentityEncoding(head));
      break;
    case zdl::AnswerUse::kEncoded:
      FUZZ_CHECK(!zdl::IsIdentityEncoding(head));
      break;
    case zdl::AnswerUse::kRestart:
    case zdl::AnswerUse::kHttpError:
      break;
  }

  // The last byte proves a part whole only with its validator, its place and the part's size.
  if (zdl::ConfirmsEnd(head, offset, validator)) {
    FUZZ_CHECK(head.status == 206 && zdl::AnswerCarriesValidator(head, validator));
    FUZZ_CHECK(zdl::ParseContentRange(head.contentRange, &hasStart, &start, &total));
    FUZZ_CHECK(hasStart && start == offset - 1 && (total == offset || total == 0));
  }
  return 0;
}
