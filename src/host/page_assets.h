#pragma once
// The upload page's script and style sheet as answers: served at
// PageAssetPath() + "page.js" / "page.css" (host/upload_page.h) with a
// year-long, immutable Cache-Control, since their address changes with their
// content. Any other address, including an earlier version's, is not an
// asset: the caller answers it as it answers unknown paths (404).

#include <optional>
#include <string_view>

#include "host/page_answer.h"

namespace parcelmoor {

// The asset at `path` (the request target without its query), or nullopt.
std::optional<PageAnswer> AnswerPageAsset(std::string_view path);

}  // namespace parcelmoor
