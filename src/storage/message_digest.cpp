// Digests through OpenSSL's EVP interface.
#include "storage/message_digest.h"

#include <openssl/evp.h>

namespace parcelmoor {

void MessageDigest::FreeContext::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

MessageDigest::MessageDigest() : context_(EVP_MD_CTX_new()) {}

MessageDigest::~MessageDigest() = default;

bool MessageDigest::start(std::string_view algorithm) noexcept {
  const EVP_MD* md = algorithm == "sha1" ? EVP_sha1() : algorithm == "sha256" ? EVP_sha256() : nullptr;
  good_ = md && context_ && EVP_DigestInit_ex(context_.get(), md, nullptr) == 1;
  return good_;
}

void MessageDigest::update(std::span<const uint8_t> bytes) noexcept {
  if (good_ && !bytes.empty()) good_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1;
}

std::string MessageDigest::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = good_ && EVP_DigestFinal_ex(context_.get(), digest, &length) == 1;
  good_ = false;
  return ok ? std::string(reinterpret_cast<const char*>(digest), length) : std::string();
}

}  // namespace parcelmoor
