#pragma once
// The tus protocol's header values, parsed strictly.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcelmoor {

// A non-negative decimal header value (Upload-Length, Upload-Offset).
std::optional<int64_t> ParseDecimalHeader(std::string_view text);

// Upload-Metadata: "key base64,key2 base64,key3" into decoded pairs (a key
// without a value has ""). Nullopt when a pair is malformed, a key repeats
// or a value is not Base64.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseUploadMetadata(std::string_view text);
// The value of `key` in an Upload-Metadata text ("" when absent or malformed).
std::string MetadataValue(std::string_view metadata, std::string_view key);

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
