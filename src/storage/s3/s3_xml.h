#pragma once
// The XML of S3 answers this store reads, and the one body it writes
// (CompleteMultipartUpload), on Boost.PropertyTree's XML parser. Each
// reader returns nullopt for a body that is not the answer it expects.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

// <Error><Code>...</Code><Message>...</Message></Error>: what a store says
// when it refuses a request (also, by S3's rules, inside a 200 answer to
// CompleteMultipartUpload).
struct S3ErrorAnswer {
  std::string code;
  std::string message;
};
std::optional<S3ErrorAnswer> ReadS3Error(std::string_view xml);

// InitiateMultipartUploadResult's UploadId.
std::optional<std::string> ReadUploadId(std::string_view xml);

// CompleteMultipartUploadResult's ETag, quotes and all.
std::optional<std::string> ReadCompletedETag(std::string_view xml);

// One page of ListMultipartUploadsResult.
struct S3PendingUpload {
  std::string key;
  std::string uploadId;
  std::chrono::system_clock::time_point initiated;
};
struct S3PendingPage {
  std::vector<S3PendingUpload> uploads;
  bool truncated = false;
  std::string nextKeyMarker;
  std::string nextUploadIdMarker;
};
std::optional<S3PendingPage> ReadPendingUploads(std::string_view xml);

// "2026-12-07T23:59:59.000Z" (fractions optional); nullopt when malformed.
std::optional<std::chrono::system_clock::time_point> ReadIsoTime(std::string_view text);

// The CompleteMultipartUpload body naming parts 1..N by their ETags.
std::string CompleteMultipartBody(const std::vector<std::string>& partETags);

}  // namespace parcelmoor
