#pragma once
// The bearer tokens a deployment without an application of its own accepts:
// one token a line in a file that an operator edits while the server runs.
// The file is looked at (stat) on every check and read again when its
// inode, size or modification time changed (or that time is under two
// seconds old), so a token added or revoked takes effect at the next
// request without a restart. Tokens are compared
// in constant time (as SHA-256 digests, so that neither a token's bytes nor
// its length show in the time a check takes). Safe to use from several
// threads at once.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace parcelmoor {

class TokenFile {
 public:
  enum class Verdict {
    kAccepted,
    kNoToken,     // no "Authorization: Bearer ..." in the request
    kWrongToken,  // a bearer token that no line of the file holds
    kNoFile,      // the file cannot be read: every token is refused
  };

  // Reads `path` now. Throws std::runtime_error when it cannot be read, so
  // a mistyped path stops the program at its start rather than at the first
  // upload.
  explicit TokenFile(std::string path);

  // Judges the value of a request's Authorization header.
  Verdict Check(std::string_view authorization);

  // One word for the log: token-accepted, token-missing, token-wrong,
  // token-file-unreadable.
  static const char* LogWord(Verdict verdict);

 private:
  using Digest = std::array<unsigned char, 32>;
  // Reads the file again when it changed; false when it cannot be read.
  bool Refresh(std::string& why);

  const std::string path_;
  std::mutex mutex_;
  std::vector<Digest> tokens_;
  bool loaded_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t size_ = -1;
  int64_t modifiedNs_ = -1;
};

// The token of an "Authorization: Bearer TOKEN" value (scheme compared
// without regard to case, spaces around the token dropped); empty when the
// value is not a bearer credential.
std::string_view BearerToken(std::string_view authorization);

}  // namespace parcelmoor
