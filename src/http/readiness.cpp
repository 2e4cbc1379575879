#include "http/readiness.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "host/json_text.h"
#include "storage/s3/s3_bucket_check.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor::httpd {
namespace {

// A PING answered later than this is no answer for a probe.
constexpr std::chrono::milliseconds kScannerPatience{2000};

std::optional<std::string> CheckDirectory(const std::string& dir, int64_t minFree) {
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return dir + " cannot be written to";
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return dir + ": its free space cannot be read";
  const auto freeBytes = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
  if (freeBytes <= minFree) {
    return dir + " has " + std::to_string(freeBytes) + " bytes free, not more than the reserve of " +
           std::to_string(minFree);
  }
  return std::nullopt;
}

// The bucket as the start-up checked it: one HEAD, its answer in words.
std::optional<std::string> CheckBucketOf(const std::string& url, const S3Settings& settings) {
  std::string why;
  std::optional<S3Location> location = ParseS3Url(url, why);
  if (!location) return why;
  std::string failure = CheckBucket(settings, location->bucket);
  if (failure.empty()) return std::nullopt;
  return failure;
}

}  // namespace

ReadinessReport CheckReadiness(const ReadinessConfig& config) {
  ReadinessReport report;
  std::optional<std::string> store = IsS3Url(config.uploadDirectory)
                                         ? CheckBucketOf(config.uploadDirectory, config.s3)
                                         : CheckDirectory(config.uploadDirectory, config.minFreeBytes);
  if (store) report.failures.emplace_back(IsS3Url(config.uploadDirectory) ? "objectStore" : "uploadDirectory", *store);
  std::string why;
  if (config.scan && !PingClamd(*config.scan, kScannerPatience, why)) report.failures.emplace_back("scanner", why);
  return report;
}

std::string ReadinessJson(const ReadinessReport& report) {
  std::string out = std::string("{\"ready\":") + (report.ready() ? "true" : "false") + ",\"failed\":{";
  bool first = true;
  for (const auto& [check, why] : report.failures) {
    if (!std::exchange(first, false)) out += ',';
    out += JsonString(check) + ":" + JsonString(why);
  }
  return out + "}}\n";
}

void Readiness::Ask(boost::asio::io_context& ioc, std::shared_ptr<const void> owner,
                    std::function<void(const ReadinessReport&)> done) {
  const auto now = std::chrono::steady_clock::now();
  if (kept_ && now - checkedAt_ < keep_) return done(*kept_);
  waiting_.push_back(std::move(done));
  if (checking_) return;
  checking_ = true;
  // `owner` keeps this object and the loop alive for the answer.
  std::thread([this, &ioc, owner = std::move(owner), work = boost::asio::make_work_guard(ioc)] {
    ReadinessReport report = CheckReadiness(config_);
    boost::asio::post(ioc, [this, report = std::move(report)] {
      kept_ = report;
      checkedAt_ = std::chrono::steady_clock::now();
      checking_ = false;
      for (auto& waiter : std::exchange(waiting_, {})) waiter(report);
    });
  }).detach();
}

}  // namespace parcelmoor::httpd
