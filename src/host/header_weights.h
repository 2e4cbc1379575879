#pragma once
// The members of a comma-separated request header with their weights
// (Accept, Accept-Encoding): "application/json;q=0.5, text/html".

#include <functional>
#include <string_view>

namespace parcelmoor {

// Calls `each` with every member's name (trimmed, parameters left out) and
// its q-value: 1 when it has none, 0 when it is malformed or out of range.
void ForEachWeighted(std::string_view list, const std::function<void(std::string_view name, double weight)>& each);

}  // namespace parcelmoor
