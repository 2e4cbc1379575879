// Reading S3's XML answers with Boost.PropertyTree, and writing the one body
// the store sends.
#include "storage/s3/s3_xml.h"

#include <time.h>

#include <cstdio>
#include <sstream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "runtime/markup_escape.h"

namespace parcelmoor {
namespace {

using boost::property_tree::ptree;

// The document's root element, by name; nullopt when the text is not XML or
// its root is another element.
std::optional<ptree> RootNamed(std::string_view xml, const char* name) {
  ptree document;
  try {
    std::istringstream in{std::string(xml)};
    boost::property_tree::read_xml(in, document, boost::property_tree::xml_parser::trim_whitespace);
  } catch (const boost::property_tree::xml_parser_error&) {
    return std::nullopt;
  }
  auto root = document.get_child_optional(name);
  if (!root) return std::nullopt;
  return *root;
}

}  // namespace

std::optional<S3ErrorAnswer> ReadS3Error(std::string_view xml) {
  auto root = RootNamed(xml, "Error");
  if (!root) return std::nullopt;
  return S3ErrorAnswer{root->get("Code", ""), root->get("Message", "")};
}

std::optional<std::string> ReadUploadId(std::string_view xml) {
  auto root = RootNamed(xml, "InitiateMultipartUploadResult");
  if (!root) return std::nullopt;
  std::string id = root->get("UploadId", "");
  if (id.empty()) return std::nullopt;
  return id;
}

std::optional<std::string> ReadCompletedETag(std::string_view xml) {
  auto root = RootNamed(xml, "CompleteMultipartUploadResult");
  if (!root) return std::nullopt;
  auto etag = root->get_optional<std::string>("ETag");
  if (!etag) return std::nullopt;
  return *etag;
}

std::optional<std::chrono::system_clock::time_point> ReadIsoTime(std::string_view text) {
  struct tm parts {};
  int consumed = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(static_cast<size_t>(consumed));
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') rest.remove_prefix(1);
  }
  if (rest != "Z" && rest != "+00:00") return std::nullopt;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const time_t seconds = ::timegm(&parts);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

std::optional<S3PendingPage> ReadPendingUploads(std::string_view xml) {
  auto root = RootNamed(xml, "ListMultipartUploadsResult");
  if (!root) return std::nullopt;
  S3PendingPage page;
  page.truncated = root->get("IsTruncated", "false") == "true";
  page.nextKeyMarker = root->get("NextKeyMarker", "");
  page.nextUploadIdMarker = root->get("NextUploadIdMarker", "");
  for (const auto& [name, child] : *root) {
    if (name != "Upload") continue;
    auto initiated = ReadIsoTime(child.get("Initiated", ""));
    S3PendingUpload upload{child.get("Key", ""), child.get("UploadId", ""), {}};
    if (!initiated || upload.key.empty() || upload.uploadId.empty()) return std::nullopt;
    upload.initiated = *initiated;
    page.uploads.push_back(std::move(upload));
  }
  return page;
}

std::string CompleteMultipartBody(const std::vector<std::string>& partETags) {
  std::string body = "<CompleteMultipartUpload>";
  for (size_t i = 0; i < partETags.size(); ++i) {
    body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + MarkupEscape(partETags[i]) +
            "</ETag></Part>";
  }
  return body + "</CompleteMultipartUpload>";
}

}  // namespace parcelmoor
