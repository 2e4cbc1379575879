#pragma once
// What a resumable upload remembers between its requests, and the parsing
// of the protocol's header values that feed it. The state is a short text
// file beside the upload's bytes (resumable_files.h): written whole, read
// whole, so that a restarted server resumes an upload where its last
// acknowledged request left it.

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

// The state as text, and back. Parse gives nullopt for text that is not a
// whole state of this version (a torn or foreign file).
std::string SerializeResumableState(const ResumableState& state);
std::optional<ResumableState> ParseResumableState(std::string_view text);

// A fresh upload id: 32 lowercase hex digits of 128 random bits; "" when
// the system has no randomness to give.
std::string NewResumableId();
// Whether `id` has the shape NewResumableId gives (so that it can be joined
// to a directory safely).
bool IsResumableId(std::string_view id);

// A non-negative decimal header value (Upload-Length, Upload-Offset).
std::optional<int64_t> ParseDecimalHeader(std::string_view text);

// Upload-Metadata: "key base64,key2 base64,key3" into decoded pairs (a key
// without a value has ""). Nullopt when a pair is malformed, a key repeats
// or a value is not Base64.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseUploadMetadata(std::string_view text);
// Standard Base64 with padding, strictly; nullopt when malformed.
std::optional<std::string> DecodeBase64(std::string_view text);

// Upload-Checksum: "sha1 BASE64DIGEST". The algorithm (lower case) and the
// raw digest; nullopt when malformed.
struct UploadChecksum {
  std::string algorithm;
  std::string digest;
};
std::optional<UploadChecksum> ParseUploadChecksum(std::string_view text);
// The algorithms Upload-Checksum may name, as Tus-Checksum-Algorithm lists them.
inline constexpr std::string_view kChecksumAlgorithms = "sha1,sha256";

}  // namespace parcelmoor
