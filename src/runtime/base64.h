#pragma once
// Standard Base64 (RFC 4648, with padding), the one codec of the project:
// exact bytes of names in answers, tus metadata, Content-MD5 headers.

#include <optional>
#include <string>
#include <string_view>

namespace parcelmoor {

// `bytes` in standard Base64 with padding.
std::string Base64Encode(std::string_view bytes);

// The bytes `text` encodes; nullopt unless it is standard Base64 with its
// padding, in canonical form: no white space, no missing or extra `=`, no
// URL-safe letters, and the unused bits of the last letter zero.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace parcelmoor
