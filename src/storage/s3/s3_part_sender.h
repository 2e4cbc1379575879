#pragma once
// Sends one part at a time on a thread of its own, so that a file's next
// part is received while its last one travels to the store: the upload goes
// at the pace of the slower side instead of the sum of both. The part's
// bytes stay the caller's until wait() returns; its MD5 (for Content-MD5 and
// the ETag check) is computed on the sender's thread too.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "storage/s3/s3_client.h"

namespace parcelmoor {

struct SentPart {
  S3Answer answer;
  std::string md5;  // raw MD5 of the part's bytes
};

class PartSender {
 public:
  PartSender(S3Settings settings, std::string bucket) : client_(std::move(settings), std::move(bucket)) {}
  // Waits for a part still travelling, then ends the thread.
  ~PartSender();
  PartSender(const PartSender&) = delete;
  PartSender& operator=(const PartSender&) = delete;

  // Starts sending `part` (an UploadPart PUT without its Content-MD5, which
  // is added) on the sender's thread. REQUIRES: no part is travelling.
  void start(S3Request part);
  // Whether a part was started and not yet waited for.
  bool travelling() const { return travelling_; }
  // Waits for the part started last. REQUIRES: travelling().
  SentPart wait();

 private:
  void run();

  S3Client client_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<S3Request> job_;
  std::optional<SentPart> result_;
  bool travelling_ = false;
  bool stopping_ = false;
};

}  // namespace parcelmoor
