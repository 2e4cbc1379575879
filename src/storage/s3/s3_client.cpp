// SigV4-signed requests over libcurl, with the canonical details libcurl
// 7.88 leaves to its caller, retries, and typed failures.
#include "storage/s3/s3_client.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "runtime/ascii.h"
#include "runtime/operation_timing.h"
#include "storage/s3/curl_library.h"
#include "storage/s3/s3_xml.h"

namespace parcelmoor {
namespace {

// An answer body larger than this is not one this store asked for.
constexpr size_t kMaxAnswerBytes = size_t{8} << 20;

bool HasQuery(const S3Request& request, std::string_view name) {
  return std::any_of(request.query.begin(), request.query.end(), [&](const auto& p) { return p.first == name; });
}

// The store's name for the operation, as its documentation and the metrics
// give it: a part is not a whole object.
std::string_view OperationName(const S3Request& r) {
  const bool bucket = r.key.empty();
  if (HasQuery(r, "partNumber")) return "UploadPart";
  if (r.method == "POST") return HasQuery(r, "uploads") ? "CreateMultipartUpload" : "CompleteMultipartUpload";
  if (r.method == "DELETE") return HasQuery(r, "uploadId") ? "AbortMultipartUpload" : "DeleteObject";
  if (r.method == "HEAD") return bucket ? "HeadBucket" : "HeadObject";
  if (r.method == "GET") return HasQuery(r, "uploads") ? "ListMultipartUploads" : bucket ? "ListObjects" : "GetObject";
  if (r.method == "PUT") return "PutObject";
  return "Other";
}

size_t KeepBody(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<std::string*>(target);
  const size_t n = size * count;
  if (body->size() + n > kMaxAnswerBytes) return 0;  // ends the transfer with an error
  body->append(data, n);
  return n;
}

size_t KeepETag(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  std::string_view line(data, n);
  constexpr std::string_view kName = "etag:";
  if (line.size() > kName.size()) {
    std::string name;
    for (char c : line.substr(0, kName.size())) name += AsciiToLower(c);
    if (name == kName) {
      std::string_view value = line.substr(kName.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
        value.remove_suffix(1);
      }
      *static_cast<std::string*>(target) = std::string(value);
    }
  }
  return n;
}

StoreError TransportError(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SSL_CONNECT_ERROR: return {StoreCause::kUnreachable, 0};
    case CURLE_OPERATION_TIMEDOUT: return {StoreCause::kTimedOut, 0};
    default: return {StoreCause::kIo, 0};
  }
}

bool WorthRetrying(const S3Answer& answer) {
  if (answer.status == 0) return answer.error.cause == StoreCause::kUnreachable;
  return answer.status == 500 || answer.status == 502 || answer.status == 503 || answer.status == 504;
}

// Connections (and TLS sessions and resolved names) kept across the
// uploads of a process: a server's uploads each have clients of their own,
// and without the share each would connect, and shake hands, anew.
struct SharedConnections {
  CURLSH* share = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
};

void LockShared(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<SharedConnections*>(user)->locks[data].lock();
}

void UnlockShared(CURL*, curl_lock_data data, void* user) { static_cast<SharedConnections*>(user)->locks[data].unlock(); }

// The process's share, made once (after libcurl's loading initialised it)
// and kept for the process's life: handles of other threads may use it
// until the end.
CURLSH* SharedConnectionCache(const CurlLibrary& curl) {
  static SharedConnections* shared = [&curl] {
    auto* made = new SharedConnections;
    made->share = curl.share_init();
    if (made->share != nullptr) {
      curl.share_setopt(made->share, CURLSHOPT_LOCKFUNC, LockShared);
      curl.share_setopt(made->share, CURLSHOPT_UNLOCKFUNC, UnlockShared);
      curl.share_setopt(made->share, CURLSHOPT_USERDATA, made);
      for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
        curl.share_setopt(made->share, CURLSHOPT_SHARE, data);
      }
    }
    return made;
  }();
  return shared->share;
}

// The headers in the order SigV4 signs them: libcurl signs those it is
// given as it is given them.
struct curl_slist* HeaderList(const CurlLibrary& curl, const S3Request& request, const S3Settings& settings) {
  std::vector<std::pair<std::string, std::string>> headers = request.headers;
  headers.emplace_back("x-amz-content-sha256", "UNSIGNED-PAYLOAD");
  if (!settings.credentials.sessionToken.empty()) {
    headers.emplace_back("x-amz-security-token", settings.credentials.sessionToken);
  }
  std::sort(headers.begin(), headers.end());
  struct curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) list = curl.slist_append(list, (name + ": " + value).c_str());
  return list;
}

}  // namespace

S3Client::S3Client(S3Settings settings, std::string bucket)
    : settings_(std::move(settings)), bucket_(std::move(bucket)) {
  curlLibrary_ = LoadedCurl(unavailable_);
  if (curlLibrary_ == nullptr) return;
  SharedConnectionCache(*curlLibrary_);
  curl_ = curlLibrary_->easy_init();
  if (curl_ == nullptr) unavailable_ = "libcurl could not start";
}

S3Client::~S3Client() {
  if (curl_ != nullptr) curlLibrary_->easy_cleanup(static_cast<CURL*>(curl_));
}

S3Answer S3Client::send(const S3Request& request) {
  using namespace std::chrono_literals;
  const OperationTimer timer("object_store_request");
  S3Answer answer = sendOnce(request);
  for (auto pause : {200ms, 800ms}) {
    if (!WorthRetrying(answer)) break;
    std::this_thread::sleep_for(pause);
    answer = sendOnce(request);
  }
  timer.Done(OperationName(request), answer.error.cause != StoreCause::kNone);
  return answer;
}

S3Answer S3Client::sendOnce(const S3Request& request) {
  S3Answer answer;
  CURL* curl = static_cast<CURL*>(curl_);
  if (curl == nullptr) {
    answer.error = {StoreCause::kIo, 0};
    answer.failure = unavailable_;
    return answer;
  }
  const CurlLibrary& lib = *curlLibrary_;
  lib.easy_reset(curl);
  const std::string url = RequestUrl(settings_.endpoint, settings_.region, bucket_, request.key,
                                     CanonicalQuery(request.query));
  const std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
  lib.easy_setopt(curl, CURLOPT_SHARE, SharedConnectionCache(lib));
  lib.easy_setopt(curl, CURLOPT_URL, url.c_str());
  lib.easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  lib.easy_setopt(curl, CURLOPT_USERNAME, settings_.credentials.accessKey.c_str());
  lib.easy_setopt(curl, CURLOPT_PASSWORD, settings_.credentials.secretKey.c_str());
  lib.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  lib.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings_.connectTimeout.count()));
  lib.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  lib.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings_.stallTimeout.count()));
  lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepBody);
  lib.easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  lib.easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepETag);
  lib.easy_setopt(curl, CURLOPT_HEADERDATA, &answer.etag);
  if (request.method == "HEAD") {
    lib.easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT" || request.method == "POST") {
    // The body is sent from where it is; libcurl copies nothing.
    lib.easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    lib.easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    lib.easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method != "GET") {
    lib.easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  struct curl_slist* headers = HeaderList(lib, request, settings_);
  lib.easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  const CURLcode code = lib.easy_perform(curl);
  lib.slist_free_all(headers);
  if (code != CURLE_OK) {
    answer.error = TransportError(code);
    answer.failure = std::string(lib.easy_strerror(code)) + " (" + request.method + " " + url + ")";
    return answer;
  }
  lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  if (answer.status / 100 == 2) return answer;
  if (auto refusal = ReadS3Error(answer.body)) {
    answer.errorCode = refusal->code;
    answer.failure = refusal->code + ": " + refusal->message;
  } else {
    answer.failure = "HTTP " + std::to_string(answer.status);
  }
  answer.failure += " (" + request.method + " " + url + ")";
  answer.error = {answer.errorCode == "NoSuchBucket" ? StoreCause::kNoDirectory : StoreCause::kRefused, 0};
  return answer;
}

}  // namespace parcelmoor
