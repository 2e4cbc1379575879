// The start-up HEAD of the bucket, its answer put in words.
#include "storage/s3/s3_bucket_check.h"

#include "storage/s3/s3_client.h"

namespace parcelmoor {

std::string CheckBucket(const S3Settings& settings, const std::string& bucket) {
  S3Client client(settings, bucket);
  const S3Answer answer = client.send({.method = "HEAD", .key = ""});
  if (!answer.error) return {};
  const std::string where = settings.endpoint.empty() ? "the object store" : "the object store at " + settings.endpoint;
  // A HEAD answer has no body: the status is all the store says.
  switch (answer.status) {
    case 0:
      return (answer.error.cause == StoreCause::kTimedOut ? where + " did not answer: "
                                                          : where + " could not be reached: ") + answer.failure;
    case 404: return "the bucket " + bucket + " does not exist in " + where;
    case 400:
    case 401:
    case 403:
      return where + " refused the credentials for bucket " + bucket + " (HTTP " + std::to_string(answer.status) +
             "; check AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY)";
    default: return where + " answered the check of bucket " + bucket + " with " + answer.failure;
  }
}

}  // namespace parcelmoor
