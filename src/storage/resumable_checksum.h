#pragma once
// The digest of one request's bytes, to check an Upload-Checksum before the
// bytes are counted: SHA-1 or SHA-256, through OpenSSL's EVP interface.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace parcelmoor {

class ChunkDigest {
 public:
  ChunkDigest();
  ~ChunkDigest();
  ChunkDigest(const ChunkDigest&) = delete;
  ChunkDigest& operator=(const ChunkDigest&) = delete;

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
