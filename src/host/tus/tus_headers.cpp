#include "host/tus/tus_headers.h"

#include <charconv>
#include <set>

#include "runtime/base64.h"

namespace parcelmoor {
namespace {

// Printable ASCII only: no byte that could end a line or hide in one.
bool IsPrintableAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c < 32 || c > 126) return false;
  return true;
}

}  // namespace

std::optional<int64_t> ParseDecimalHeader(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ParseUploadMetadata(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::set<std::string, std::less<>> keys;
  if (!IsPrintableAscii(text)) return std::nullopt;
  while (!text.empty()) {
    std::string_view pair = text.substr(0, text.find(','));
    text.remove_prefix(std::min(text.size(), pair.size() + 1));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    while (!pair.empty() && pair.back() == ' ') pair.remove_suffix(1);
    const size_t space = pair.find(' ');
    std::string_view key = pair.substr(0, space);
    if (key.empty() || !keys.insert(std::string(key)).second) return std::nullopt;
    std::optional<std::string> value = std::string();
    if (space != std::string_view::npos) value = Base64Decode(pair.substr(space + 1));
    if (!value) return std::nullopt;
    pairs.emplace_back(std::string(key), std::move(*value));
  }
  return pairs;
}

std::string MetadataValue(std::string_view metadata, std::string_view key) {
  auto pairs = ParseUploadMetadata(metadata);
  if (!pairs) return {};
  for (const auto& [name, value] : *pairs) {
    if (name == key) return value;
  }
  return {};
}

std::optional<UploadChecksum> ParseUploadChecksum(std::string_view text) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos || space == 0) return std::nullopt;
  auto digest = Base64Decode(text.substr(space + 1));
  if (!digest || digest->empty()) return std::nullopt;
  UploadChecksum checksum{std::string(text.substr(0, space)), std::move(*digest)};
  for (char& c : checksum.algorithm) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return checksum;
}

}  // namespace parcelmoor
