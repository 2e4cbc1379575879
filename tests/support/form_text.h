#pragma once
// Test support: a readable, exact text of a Form view, so that a failed
// comparison shows which item differs and how (CR, LF and other control
// bytes are escaped).

#include <string>
#include <vector>

#include "support/upload_harness.h"

namespace parcelmoor::testing {

// The bytes with \r, \n, \\ and other control or non-ASCII bytes escaped.
std::string Escaped(const std::string& bytes);

// One line per item: name, then either its values or its file name, client
// path and size.
std::string FormText(const std::vector<ItemView>& form);

}  // namespace parcelmoor::testing
