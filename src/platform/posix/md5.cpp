// MD5 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <algorithm>

#include "platform/platform.h"

namespace lumo {
namespace platform {

struct Md5Digest::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
  bool finished = false;
  std::array<uint8_t, 16> digest{};
};

Md5Digest::Md5Digest() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  state_->ok = state_->context != nullptr &&
               EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr) == 1;
}

Md5Digest::~Md5Digest() {
  if (state_->context != nullptr) EVP_MD_CTX_free(state_->context);
}

void Md5Digest::Update(const void* data, size_t length) {
  if (!state_->ok || state_->finished || length == 0 || data == nullptr) return;
  state_->ok = EVP_DigestUpdate(state_->context, data, length) == 1;
}

std::array<uint8_t, 16> Md5Digest::Finish() {
  // A spent digest keeps answering its result; a failed one answers zeros.
  if (state_->ok && !state_->finished) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    state_->ok = EVP_DigestFinal_ex(state_->context, out, &length) == 1 && length == 16;
    if (state_->ok) std::copy(out, out + 16, state_->digest.begin());
  }
  state_->finished = true;
  return state_->ok ? state_->digest : std::array<uint8_t, 16>{};
}

}  // namespace platform
}  // namespace lumo
