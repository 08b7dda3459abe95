// MD5 through the Windows cryptography primitives (BCrypt).
#include <algorithm>

#include "platform/platform.h"
#include "platform/win32/win_headers.h"

#include <bcrypt.h>

namespace lumo {
namespace platform {

struct Md5Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
  bool finished = false;
  std::array<uint8_t, 16> digest{};
};

Md5Digest::Md5Digest() : state_(new State) {
  state_->ok =
      BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0)) &&
      BCRYPT_SUCCESS(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Md5Digest::~Md5Digest() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Md5Digest::Update(const void* data, size_t length) {
  if (!state_->ok || state_->finished || data == nullptr) return;
  // BCryptHashData takes 32-bit lengths.
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0 && state_->ok) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(length, 0x40000000u));
    state_->ok = BCRYPT_SUCCESS(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0));
    bytes += piece;
    length -= piece;
  }
}

std::array<uint8_t, 16> Md5Digest::Finish() {
  // A spent digest keeps answering its result; a failed one answers zeros.
  if (state_->ok && !state_->finished) {
    state_->ok = BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, state_->digest.data(),
                                                 static_cast<ULONG>(state_->digest.size()), 0));
  }
  state_->finished = true;
  return state_->ok ? state_->digest : std::array<uint8_t, 16>{};
}

}  // namespace platform
}  // namespace lumo
