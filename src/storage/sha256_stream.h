#pragma once
// A SHA-256 of bytes that arrive in pieces, so that a file's digest is ready
// when its last byte is written, without reading the file again. OpenSSL's
// EVP digest does the work. One object serves one file at a time; start()
// begins the next.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct evp_md_ctx_st;

namespace parcelmoor {

class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  // Begins a new digest, forgetting any bytes given before. Returns false
  // when the library could not begin one (then finishHex() gives "").
  bool start() noexcept;
  // Adds `bytes` to the digest. REQUIRES: started.
  void update(std::span<const uint8_t> bytes) noexcept;
  // The digest of every byte since start(), as 64 lowercase hex digits; ""
  // when the library failed at any step. Ends the digest.
  std::string finishHex();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
  bool good_ = false;
};

}  // namespace parcelmoor
