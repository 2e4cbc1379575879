#pragma once
// What a resumable upload remembers between its requests. The state is a
// short text, written whole and read whole, so that a restarted server
// resumes an upload where its last acknowledged request left it. It is
// sealed with a key only the server holds: a state the server did not
// write is never trusted, wherever it was found.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcelmoor {

struct ResumableState {
  int64_t length = 0;   // the upload's announced size (Upload-Length)
  int64_t offset = 0;   // bytes received and durable
  int64_t expires = 0;  // seconds since the epoch after which it is gone
  std::string client;   // the address that created it, for the per-client cap
  // The SHA-256 (hex) of the credentials the creating request carried; the
  // later requests must carry the same.
  std::string credentials;
  std::string metadata;  // the Upload-Metadata value as sent (checked ASCII)
  // How the creating request was authorized: the directory and the file
  // limit (narrowed or as configured) and the headers for the hand-off.
  std::string directory;
  std::optional<int64_t> maxFileBytes;
  std::vector<std::pair<std::string, std::string>> forwardHeaders;
  bool finished() const { return offset >= length; }
};

// The state as text sealed under `key`, and back. Parse gives nullopt for
// text that is not a whole state of this version sealed under `key` (a
// torn, foreign or forged file).
std::string SerializeResumableState(const ResumableState& state, std::string_view key);
std::optional<ResumableState> ParseResumableState(std::string_view text, std::string_view key);

// A fresh upload id: 32 lowercase hex digits of 128 random bits; "" when
// the system has no randomness to give.
std::string NewResumableId();
// Whether `id` has the shape NewResumableId gives (so that it can be joined
// to a directory safely).
bool IsResumableId(std::string_view id);

}  // namespace parcelmoor
