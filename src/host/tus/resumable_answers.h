#pragma once
// The pieces every resumable upload answer is made of: the protocol's
// version header, the offset and expiry headers, the digest that stands
// for a client's credentials, and the report kept once an upload ends.

#include <cstdint>
#include <string>
#include <string_view>

#include "host/page_answer.h"
#include "storage/resumable/resumable_state.h"

namespace parcelmoor {

inline constexpr std::string_view kTusVersion = "1.0.0";

// An answer with Tus-Resumable and, when `text` is not empty, that text
// (text/plain).
PageAnswer TusAnswer(int status, std::string_view text);
// Upload-Offset and Upload-Expires of `state`.
void AddProgressHeaders(PageAnswer& answer, const ResumableState& state);
// An HTTP date (IMF-fixdate) of seconds since the epoch.
std::string HttpDateOf(int64_t seconds);
// The SHA-256 (hex) that stands for `credentials` in an upload's state.
std::string CredentialsDigest(std::string_view credentials);

// An upload's final answer as kept for GET, and back.
std::string KeepReport(const PageAnswer& answer);
PageAnswer ParseKeptReport(std::string_view kept);

}  // namespace parcelmoor
