#pragma once
// The upload page's script and style sheet as answers: served at
// PageAssetPath() + "page.js" / "page.css" (host/upload_page.h) with a
// year-long, immutable Cache-Control, since their address changes with their
// content; gzip-compressed when the request's Accept-Encoding takes gzip.
// Any other address, including an earlier version's, is not an asset: the
// caller answers it as it answers unknown paths (404).

#include <optional>
#include <string_view>

#include "host/page_answer.h"

namespace parcelmoor {

// The asset at `path` (the request target without its query), or nullopt.
// `acceptEncoding` is the request's Accept-Encoding header ("" when absent).
std::optional<PageAnswer> AnswerPageAsset(std::string_view path, std::string_view acceptEncoding);

// True when an Accept-Encoding value takes gzip ("gzip", "x-gzip" or "*",
// with a q-value other than 0).
bool AcceptsGzip(std::string_view acceptEncoding);

}  // namespace parcelmoor
