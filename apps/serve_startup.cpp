#include "serve_startup.h"

#include <unistd.h>

#include <filesystem>

#include "http/cors.h"
#include "options.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor::apps {
namespace {

// How long the start-up waits for the scanner's PONG.
constexpr std::chrono::milliseconds kScannerStartPatience{5000};

bool ValidBind(const std::string& bind) {
  const size_t colon = bind.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == bind.size()) return false;
  const std::string port = bind.substr(colon + 1);
  return port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos && std::stoi(port) <= 65535;
}

std::string Size(int64_t bytes) {
  static constexpr const char* kUnits[] = {"", "K", "M", "G", "T"};
  int unit = 0;
  while (unit < 4 && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + kUnits[unit];
}

std::string Where(const ForwardTarget& t) {
  return t.unixSocket ? "unix:" + t.socketPath + ":" + t.target : "http://" + t.host + ":" + t.port + t.target;
}

std::string Storage(const UploadSettings& u) {
  const std::string dir = u.uploadDirectory.value_or(kDefaultUploadDirectory);
  if (IsS3Url(dir)) {
    std::string why;
    if (auto location = ParseS3Url(dir, why)) {
      return "files to bucket " + location->bucket + " under prefix \"" + location->prefix + "\"";
    }
    return "files to " + dir;
  }
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
  return "files to " + (ec ? dir : absolute.lexically_normal().string());
}

}  // namespace

bool CheckServeStart(HttpServerOptions& o, std::string& error) {
  if (!o.metricsBind.empty() && !ValidBind(o.metricsBind)) {
    error = "--metrics-bind takes ADDRESS:PORT, such as 127.0.0.1:9464 or [::1]:9464";
    return false;
  }
  for (const std::string& origin : o.corsOrigins) {
    if (!httpd::ValidCorsOrigin(origin, error)) return false;
  }
  if (o.resumable && !o.resumableSpool.empty()) {
    if (!EnsureUploadDirectory(o.resumableSpool, error) || ::access(o.resumableSpool.c_str(), W_OK | X_OK) != 0) {
      if (error.empty()) error = "cannot write to it";
      error = "--resumable-dir " + o.resumableSpool + " cannot be used: " + error;
      return false;
    }
  }
  if (o.upload.scan) {
    std::string why;
    if (!PingClamd(*o.upload.scan, kScannerStartPatience, why)) {
      error = "--scan: " + why + "; start the scanner first, or leave --scan out";
      return false;
    }
  }
  return true;
}

std::string DescribePolicies(const HttpServerOptions& o, uint16_t metricsPort) {
  const UploadSettings& u = o.upload;
  std::string text = Storage(u);
  text += u.maxFileBytes ? std::string("; files over ") + Size(*u.maxFileBytes) +
                               (u.deleteOverLimit ? " deleted" : " cut")
                         : "; no file size limit";
  if (u.maxRequestBytes && *u.maxRequestBytes > 0) text += "; requests up to " + Size(*u.maxRequestBytes);
  static constexpr const char* kOnExists[] = {"replace", "keep-both", "refuse"};
  text += std::string("; on-exists ") + kOnExists[static_cast<int>(u.onExists)];
  if (!u.allowedTypes.empty()) {
    text += "; types";
    for (const auto& type : u.allowedTypes) text += " " + type;
  }
  if (u.refuseHiddenNames) text += "; hidden names refused";
  if (u.checksums) text += "; sha256";
  if (!u.sync) text += "; no sync";
  if (u.scan) text += "; scan by " + u.scan->describe();
  if (o.tokens) text += "; token file";
  if (o.authorize) text += "; authorize by " + Where(*o.authorize);
  if (o.forward) text += "; forward to " + Where(*o.forward);
  if (!o.resumable) {
    text += "; resumable uploads off";
  } else {
    text += "; resumable uploads at /files/";
    if (!o.resumableSpool.empty()) text += " waiting in " + o.resumableSpool;
  }
  if (!o.corsOrigins.empty()) {
    text += "; CORS for";
    for (const auto& origin : o.corsOrigins) text += " " + origin;
  }
  if (!o.metricsBind.empty()) {
    text += "; metrics at http://" + o.metricsBind.substr(0, o.metricsBind.rfind(':')) + ":" +
            std::to_string(metricsPort) + "/metrics";
  }
  if (!o.metricsToken.empty()) text += "; metrics on this port with the token";
  return text;
}

}  // namespace parcelmoor::apps
