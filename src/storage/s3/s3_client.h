#pragma once
// One connection's worth of requests to an S3-compatible store, signed with
// SigV4 by libcurl (CURLOPT_AWS_SIGV4). libcurl 7.88 signs the path, query
// and headers as the caller gives them and computes no payload hash, so
// this client gives them in canonical form (s3_names.h: escaped path,
// sorted query with every "="; lower-case header names, sorted, values
// trimmed) and sends x-amz-content-sha256 itself: UNSIGNED-PAYLOAD, the
// bytes being checked by the Content-MD5 every request with a body carries.
//
// A request that could not reach the store, or that the store answered
// 500/502/503/504, is sent again twice (after 0.2 s and 0.8 s): every body
// is in memory, so a retry costs no more than the send. Failures come back
// typed: kUnreachable, kTimedOut (no byte moved for the stall timeout),
// kNoDirectory (no such bucket), kRefused (any other refusal), kIo.
// One client serves one thread; connections are kept between requests and
// shared by every client of the process (libcurl's share interface).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/s3/s3_names.h"
#include "storage/s3/s3_settings.h"
#include "storage/store_error.h"

namespace parcelmoor {

struct S3Request {
  std::string method;  // GET, HEAD, PUT, POST, DELETE
  std::string key;     // "": the bucket
  QueryParameters query = {};
  // Lower-case names; sent and signed in name order.
  std::vector<std::pair<std::string, std::string>> headers = {};
  std::span<const uint8_t> body = {};  // PUT and POST only
};

struct S3Answer {
  StoreError error;  // kNone: a 2xx answer
  long status = 0;   // 0: no answer came
  std::string body;
  std::string etag;       // the ETag header, as sent
  std::string errorCode;  // the store's <Code>, when it said one
  std::string failure;    // for the log: what went wrong, in words
};

struct CurlLibrary;

class S3Client {
 public:
  S3Client(S3Settings settings, std::string bucket);
  ~S3Client();
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  S3Answer send(const S3Request& request);

 private:
  // One attempt, without retries.
  S3Answer sendOnce(const S3Request& request);

  S3Settings settings_;
  std::string bucket_;
  const CurlLibrary* curlLibrary_ = nullptr;  // null when libcurl could not be loaded
  std::string unavailable_;                   // then, why
  void* curl_ = nullptr;                      // CURL*
};

}  // namespace parcelmoor
