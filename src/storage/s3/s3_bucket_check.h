#pragma once
// A server's first request to its object store, before it says it serves:
// a HEAD of the bucket, which needs the bucket to exist and the credentials
// to be accepted. Without it a server with a mistyped bucket or key would
// say "serving" and then fail every upload.

#include <string>

#include "storage/s3/s3_settings.h"

namespace parcelmoor {

// Empty when the bucket answers; else one sentence naming the cause (no
// such bucket, credentials refused, store unreachable or silent).
std::string CheckBucket(const S3Settings& settings, const std::string& bucket);

}  // namespace parcelmoor
