// One part in flight beside the one being received.
#include "storage/s3/s3_part_sender.h"

#include "runtime/base64.h"
#include "storage/s3/s3_parts.h"

namespace parcelmoor {

PartSender::~PartSender() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PartSender::start(S3Request part) {
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(part);
    result_.reset();
  }
  travelling_ = true;
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  changed_.notify_all();
}

SentPart PartSender::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return result_.has_value(); });
  travelling_ = false;
  SentPart sent = std::move(*result_);
  result_.reset();
  return sent;
}

void PartSender::run() {
  for (;;) {
    S3Request part;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || job_.has_value(); });
      if (!job_) return;
      part = std::move(*job_);
      job_.reset();
    }
    SentPart sent;
    try {
      sent.md5 = Md5Of(part.body);
      part.headers.emplace_back("content-md5", Base64Encode(sent.md5));
      sent.answer = client_.send(part);
    } catch (const std::exception& e) {
      sent.answer.error = {StoreCause::kIo, 0};
      sent.answer.failure = e.what();
    }
    {
      std::lock_guard lock(mutex_);
      result_ = std::move(sent);
    }
    changed_.notify_all();
  }
}

}  // namespace parcelmoor
