#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

struct Vector {
  const char* input;
  const char* digest;
};

// RFC 1321, appendix A.5.
const Vector kVectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Digest, RfcVectorsWhole) {
  for (const Vector& v : kVectors) {
    Md5Digest digest;
    const std::string input = v.input;
    digest.Update(input.data(), input.size());
    EXPECT_EQ(DigestHex(digest.Finish()), v.digest) << '"' << input << '"';
  }
}

TEST(Md5Digest, RfcVectorsInPiecesOfEverySize) {
  for (const Vector& v : kVectors) {
    const std::string input = v.input;
    for (size_t piece = 1; piece <= 13; piece += 3) {
      Md5Digest digest;
      for (size_t at = 0; at < input.size(); at += piece) {
        digest.Update(input.data() + at, std::min(piece, input.size() - at));
        digest.Update(input.data(), 0);
      }
      EXPECT_EQ(DigestHex(digest.Finish()), v.digest) << '"' << input << "\" by " << piece;
    }
  }
}

TEST(Md5Digest, SpentDigestKeepsItsResult) {
  Md5Digest digest;
  digest.Update("abc", 3);
  const auto first = digest.Finish();
  digest.Update("more", 4);
  EXPECT_EQ(digest.Finish(), first);
}

TEST(DigestHex, LowerCaseTwoDigitsPerByte) {
  std::array<uint8_t, 16> bytes{};
  bytes[0] = 0x0A;
  bytes[15] = 0xF0;
  EXPECT_EQ(DigestHex(bytes), "0a0000000000000000000000000000f0");
}

}  // namespace
}  // namespace platform
}  // namespace lumo
