#pragma once
// Names in an S3-compatible store: the upload directory "s3://BUCKET/PREFIX"
// read into a bucket and a key prefix, a file's key under it, and the URL
// and query of a request written the way SigV4 signs them. libcurl signs
// the request's path and query as they stand in the URL, so both are given
// to it already in canonical form: every byte outside RFC 3986's unreserved
// set escaped (the key's "/" kept), parameters sorted, each with its "=".

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcelmoor {

// Whether an upload directory names an object store.
bool IsS3Url(std::string_view directory);

struct S3Location {
  std::string bucket;
  std::string prefix;  // "" or "a/b/": what every key begins with
  // "s3://bucket/a/b/": what the component's directory becomes (its "\"
  // read as "/"), in front of each file name.
  std::string directoryPrefix() const;
  // "s3://bucket/key".
  std::string pathOf(const std::string& key) const { return "s3://" + bucket + "/" + key; }
};

// Reads "s3://BUCKET" or "s3://BUCKET/PREFIX" (a trailing "/" or "\"
// allowed). A bucket is 3 to 63 of a-z 0-9 . -; a prefix has no empty,
// "." or ".." step and no control byte. Nullopt with `why` set otherwise.
std::optional<S3Location> ParseS3Url(std::string_view url, std::string& why);

// The key of `path` ("s3://bucket/prefix/name") under `location`; nullopt
// when the path is not under it.
std::optional<std::string> KeyOf(const S3Location& location, std::string_view path);

// RFC 3986 percent-encoding as SigV4 wants it: A-Z a-z 0-9 - . _ ~ kept,
// "/" kept when `keepSlash`, every other byte as %XX (upper case).
std::string UriEncode(std::string_view text, bool keepSlash);

using QueryParameters = std::vector<std::pair<std::string, std::string>>;
// "a=1&b=&uploads=": each name and value encoded, sorted by name then
// value, an empty value still with its "=".
std::string CanonicalQuery(QueryParameters parameters);

// The URL of `key` in `bucket` ("" key: the bucket itself) with `query`
// (canonical, may be empty): ENDPOINT/BUCKET/KEY when an endpoint is
// given, else https://BUCKET.s3.REGION.amazonaws.com/KEY.
std::string RequestUrl(const std::string& endpoint, const std::string& region, const std::string& bucket,
                       const std::string& key, const std::string& query);

}  // namespace parcelmoor
