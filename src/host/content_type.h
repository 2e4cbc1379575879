#pragma once
// A file's type told from its bytes (libmagic's MIME type, such as
// "image/png"), never from what the client claims, and the allow-list
// patterns the hosts compare it with.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

// The MIME type libmagic gives `firstBytes` ("application/x-empty" for none,
// "application/octet-stream" when nothing better is known or the database
// cannot be loaded). Each thread keeps one loaded database of its own, made
// at its first call: safe from any thread, loaded once per thread.
std::string SniffMimeType(std::span<const uint8_t> firstBytes);

// Whether libmagic, opened at the first call, can be used; false, with the
// reason in `why`, when the library is not installed. Hosts taking
// --allow-types ask at start rather than let every file pass as
// "application/octet-stream".
bool TypeSniffingAvailable(std::string& why);

// Splits "image/*, application/pdf" into lowercase patterns; returns false
// (with `why`) for an entry that is not TYPE/SUBTYPE, TYPE/* or */*.
bool ParseTypePatterns(std::string_view list, std::vector<std::string>& patterns, std::string& why);

// Whether `mimeType` matches one of `patterns` (exact, TYPE/* or */*),
// letter case ignored.
bool TypeAllowed(std::string_view mimeType, const std::vector<std::string>& patterns);

}  // namespace parcelmoor
