// Bucket, prefix and key names, and the canonical URL of a request.
#include "storage/s3/s3_names.h"

#include <algorithm>

namespace parcelmoor {
namespace {

constexpr std::string_view kScheme = "s3://";

bool IsBucketByte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Each "/"-separated step of a prefix names something: none is empty, "."
// or "..", and none holds a control byte or a "\".
bool IsCleanPrefix(std::string_view prefix) {
  size_t start = 0;
  while (start < prefix.size()) {
    size_t end = prefix.find('/', start);
    if (end == std::string_view::npos) end = prefix.size();
    const std::string_view step = prefix.substr(start, end - start);
    if (step.empty() || step == "." || step == "..") return false;
    for (unsigned char c : step)
      if (c < 32 || c == 127 || c == '\\') return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool IsS3Url(std::string_view directory) { return directory.substr(0, kScheme.size()) == kScheme; }

std::string S3Location::directoryPrefix() const { return "s3://" + bucket + "/" + prefix; }

std::optional<S3Location> ParseS3Url(std::string_view url, std::string& why) {
  if (!IsS3Url(url)) {
    why = "an object store directory begins with s3://";
    return std::nullopt;
  }
  std::string_view rest = url.substr(kScheme.size());
  while (!rest.empty() && (rest.back() == '/' || rest.back() == '\\')) rest.remove_suffix(1);
  const size_t slash = rest.find('/');
  S3Location location;
  location.bucket = std::string(rest.substr(0, slash));
  const bool bucketOk = location.bucket.size() >= 3 && location.bucket.size() <= 63 &&
                        std::all_of(location.bucket.begin(), location.bucket.end(), IsBucketByte);
  if (!bucketOk) {
    why = "the bucket name '" + location.bucket + "' is not 3 to 63 of a-z, 0-9, '.' and '-'";
    return std::nullopt;
  }
  if (slash != std::string_view::npos) {
    const std::string_view prefix = rest.substr(slash + 1);
    if (!IsCleanPrefix(prefix)) {
      why = "the prefix '" + std::string(prefix) + "' has an empty, '.' or '..' step or a control byte";
      return std::nullopt;
    }
    location.prefix = std::string(prefix) + "/";
  }
  return location;
}

std::optional<std::string> KeyOf(const S3Location& location, std::string_view path) {
  const std::string front = location.directoryPrefix();
  if (path.size() <= front.size() || path.substr(0, front.size()) != front) return std::nullopt;
  return location.prefix + std::string(path.substr(front.size()));
}

std::string UriEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (IsUnreserved(c) || (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string CanonicalQuery(QueryParameters parameters) {
  for (auto& [name, value] : parameters) {
    name = UriEncode(name, false);
    value = UriEncode(value, false);
  }
  std::sort(parameters.begin(), parameters.end());
  std::string query;
  for (const auto& [name, value] : parameters) {
    if (!query.empty()) query += '&';
    query.append(name).append("=").append(value);
  }
  return query;
}

std::string RequestUrl(const std::string& endpoint, const std::string& region, const std::string& bucket,
                       const std::string& key, const std::string& query) {
  std::string url;
  if (endpoint.empty()) {
    url = "https://" + bucket + ".s3." + region + ".amazonaws.com/" + UriEncode(key, true);
  } else {
    url = endpoint;
    while (!url.empty() && url.back() == '/') url.pop_back();
    url += "/" + bucket + "/" + UriEncode(key, true);
  }
  if (!query.empty()) url += "?" + query;
  return url;
}

}  // namespace parcelmoor
