#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

// RFC 1321, appendix A.5, fed whole and in pieces of several sizes.
TEST(Md5Digest, RfcVectorsInPiecesOfEverySize) {
  const struct {
    const char* input;
    const char* digest;
  } vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) {
    const std::string input = v.input;
    for (size_t piece : {size_t{100}, size_t{1}, size_t{7}, size_t{13}}) {
      Md5Digest digest;
      for (size_t at = 0; at < input.size(); at += piece) {
        digest.Update(input.data() + at, std::min(piece, input.size() - at));
      }
      const auto result = digest.Finish();
      EXPECT_EQ(DigestHex(result), v.digest) << '"' << input << "\" by " << piece;
      digest.Update("more", 4);
      EXPECT_EQ(digest.Finish(), result) << "a spent digest keeps its result";
    }
  }
}

}  // namespace
}  // namespace platform
}  // namespace lumo
