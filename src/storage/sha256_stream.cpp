// SHA-256 through OpenSSL's EVP interface.
#include "storage/sha256_stream.h"

#include <openssl/evp.h>

namespace parcelmoor {

void Sha256Stream::FreeContext::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {}

Sha256Stream::~Sha256Stream() = default;

bool Sha256Stream::start() noexcept {
  good_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
  return good_;
}

void Sha256Stream::update(std::span<const uint8_t> bytes) noexcept {
  if (good_ && !bytes.empty()) good_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1;
}

std::string Sha256Stream::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = good_ && EVP_DigestFinal_ex(context_.get(), digest, &length) == 1;
  good_ = false;
  if (!ok) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace parcelmoor
