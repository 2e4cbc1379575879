#include "host/header_weights.h"

#include <charconv>

#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

// q-value of one member's parameters ("level=1;q=0.5" -> 0.5).
double QualityOf(std::string_view params) {
  while (!params.empty()) {
    size_t semi = params.find(';');
    std::string_view param = TrimAscii(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
      std::string_view number = TrimAscii(param.substr(2));
      double q = 0;
      auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), q);
      if (ec != std::errc() || end != number.data() + number.size() || q < 0 || q > 1) return 0;
      return q;
    }
  }
  return 1;
}

}  // namespace

void ForEachWeighted(std::string_view list, const std::function<void(std::string_view name, double weight)>& each) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view member = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    size_t semi = member.find(';');
    std::string_view name = TrimAscii(member.substr(0, semi));
    if (name.empty()) continue;
    each(name, semi == std::string_view::npos ? 1 : QualityOf(member.substr(semi + 1)));
  }
}

}  // namespace parcelmoor
