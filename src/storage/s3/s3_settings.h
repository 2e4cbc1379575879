#pragma once
// How a host reaches its object store: where it is, how to sign, how large
// the parts of a file are and how long a pending upload is left alone before
// a sweep aborts it. Built once by the option parser; the bucket and prefix
// come from the upload directory ("s3://BUCKET/PREFIX", s3_names.h).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace parcelmoor {

class Coordinator;

// Read from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN,
// never from the command line (where any user of the machine could read it).
struct S3Credentials {
  std::string accessKey;
  std::string secretKey;
  std::string sessionToken;  // empty: none
};

// The least part size the S3 API accepts for every part but the last.
inline constexpr int64_t kS3MinPartSize = int64_t{5} << 20;
// The most parts one object may have.
inline constexpr int64_t kS3MaxParts = 10'000;

struct S3Settings {
  // "http://HOST:PORT" (path-style requests: ENDPOINT/BUCKET/KEY); empty:
  // the AWS regional endpoint, with the bucket in the host name.
  std::string endpoint;
  std::string region = "us-east-1";
  // Bytes of a file sent in one part (the last part is smaller); memory
  // is this much per file being received.
  int64_t partSize = int64_t{8} << 20;
  // A multipart upload begun longer ago than this, and neither completed
  // nor aborted, was left by a writer that is gone: a sweep aborts it.
  std::chrono::seconds sweepGrace{86'400};
  S3Credentials credentials;
  // How long connecting may take, and how long a request may move no byte.
  std::chrono::seconds connectTimeout{10};
  std::chrono::seconds stallTimeout{60};
  // What several instances on one bucket share (coordinator/coordinator.h):
  // the claims on keys being stored. None: this process alone is seen.
  std::shared_ptr<Coordinator> coordinator;
};

}  // namespace parcelmoor
