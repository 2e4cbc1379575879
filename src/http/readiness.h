#pragma once
// Whether the server can take an upload now (GET /readyz): the upload
// directory is writable with free space above the reserve, or the object
// store's bucket answers; the scanner answers PING when --scan is set. The
// checks run on a thread of their own and their result is kept for a
// moment, so that probes, however many, cannot load the backends or stall
// the event loop.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/clamd_scan.h"
#include "storage/s3/s3_settings.h"

namespace parcelmoor::httpd {

struct ReadinessConfig {
  std::string uploadDirectory;  // a local directory, or s3://BUCKET/PREFIX
  S3Settings s3;
  std::optional<ClamdTarget> scan;
  int64_t minFreeBytes = 0;  // the reserve: less free space is not ready
};

struct ReadinessReport {
  // One entry per check that failed: the check's name and why, in words.
  std::vector<std::pair<std::string, std::string>> failures;
  bool ready() const { return failures.empty(); }
};

// Runs every check now (blocking: a scanner or a store may take seconds).
ReadinessReport CheckReadiness(const ReadinessConfig& config);

// {"ready":true,"failed":{}} or {"ready":false,"failed":{"scanner":"why",...}}
std::string ReadinessJson(const ReadinessReport& report);

class Readiness {
 public:
  explicit Readiness(ReadinessConfig config, std::chrono::milliseconds keep = std::chrono::milliseconds(1500))
      : config_(std::move(config)), keep_(keep) {}

  // Calls `done` on `ioc` with a report at most `keep` old: the kept one, or
  // a fresh one from a check on a thread of its own (one at a time; callers
  // meanwhile wait for it). `owner` holds this object and `ioc` (the
  // server). On the event loop only.
  void Ask(boost::asio::io_context& ioc, std::shared_ptr<const void> owner,
           std::function<void(const ReadinessReport&)> done);

 private:
  const ReadinessConfig config_;
  const std::chrono::milliseconds keep_;
  std::optional<ReadinessReport> kept_;
  std::chrono::steady_clock::time_point checkedAt_;
  bool checking_ = false;
  std::vector<std::function<void(const ReadinessReport&)>> waiting_;
};

}  // namespace parcelmoor::httpd
