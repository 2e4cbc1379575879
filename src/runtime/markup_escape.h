#pragma once
// Text for HTML and XML: & < > " ' as character references, so that text
// from a client or a remote store can stand in an element or a quoted
// attribute and never be read as markup.

#include <string>
#include <string_view>

namespace parcelmoor {

std::string MarkupEscape(std::string_view text);

}  // namespace parcelmoor
