#include "host/header_hygiene.h"

#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

constexpr std::string_view kNeverPassed[] = {
    "connection", "proxy-connection", "keep-alive", "te",     "trailer", "transfer-encoding",
    "upgrade",    "proxy-authenticate", "content-length", "cache-control", "server", "date", "status",
};

}  // namespace

std::string HeaderSafe(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (!IsControl(static_cast<unsigned char>(c))) out += c;
  }
  return out;
}

std::string TargetSafe(std::string_view target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

void MakeHeaderSafe(HandoffRequest& request) {
  request.originalTarget = TargetSafe(request.originalTarget);
  request.cookie = HeaderSafe(request.cookie);
  request.authorization = HeaderSafe(request.authorization);
  request.forwardedFor = HeaderSafe(request.forwardedFor);
}

AnswerHeaderFilter::AnswerHeaderFilter(const std::vector<std::string_view>& connection) {
  for (std::string_view value : connection) {
    while (!value.empty()) {
      size_t comma = value.find(',');
      std::string_view token = TrimAscii(value.substr(0, comma));
      value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
      if (token.empty()) continue;
      std::string lower(token);
      for (char& c : lower) c = AsciiToLower(c);
      named_.push_back(std::move(lower));
    }
  }
}

bool AnswerHeaderFilter::Passes(std::string_view name) const {
  for (std::string_view never : kNeverPassed) {
    if (EqualsIgnoringAsciiCase(name, never)) return false;
  }
  for (const std::string& named : named_) {
    if (EqualsIgnoringAsciiCase(name, named)) return false;
  }
  return true;
}

}  // namespace parcelmoor
