#pragma once
// A digest of bytes that arrive in pieces (SHA-1 or SHA-256), through
// OpenSSL's EVP interface: a request's Upload-Checksum, a file's SHA-256.
// One object serves one digest at a time; start() begins the next.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace parcelmoor {

class MessageDigest {
 public:
  MessageDigest();
  ~MessageDigest();
  MessageDigest(const MessageDigest&) = delete;
  MessageDigest& operator=(const MessageDigest&) = delete;

  // Begins a digest of `algorithm` ("sha1", "sha256"); false for any other
  // name or when the library cannot begin one.
  bool start(std::string_view algorithm) noexcept;
  void update(std::span<const uint8_t> bytes) noexcept;
  // The raw digest of every byte since start(); "" when a step failed.
  std::string finish();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
  bool good_ = false;
};

}  // namespace parcelmoor
