// SigV4-signed requests over libcurl, with the canonical details libcurl
// 7.88 leaves to its caller, retries, and typed failures.
#include "storage/s3/s3_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "runtime/ascii.h"
#include "runtime/operation_timing.h"
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

// The process's share, made once (curl_global_init first) and kept for the
// process's life: handles of other threads may use it until the end.
CURLSH* SharedConnectionCache() {
  static SharedConnections* shared = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto* made = new SharedConnections;
    made->share = curl_share_init();
    if (made->share != nullptr) {
      curl_share_setopt(made->share, CURLSHOPT_LOCKFUNC, LockShared);
      curl_share_setopt(made->share, CURLSHOPT_UNLOCKFUNC, UnlockShared);
      curl_share_setopt(made->share, CURLSHOPT_USERDATA, made);
      for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
        curl_share_setopt(made->share, CURLSHOPT_SHARE, data);
      }
    }
    return made;
  }();
  return shared->share;
}

// The headers in the order SigV4 signs them: libcurl signs those it is
// given as it is given them.
struct curl_slist* HeaderList(const S3Request& request, const S3Settings& settings) {
  std::vector<std::pair<std::string, std::string>> headers = request.headers;
  headers.emplace_back("x-amz-content-sha256", "UNSIGNED-PAYLOAD");
  if (!settings.credentials.sessionToken.empty()) {
    headers.emplace_back("x-amz-security-token", settings.credentials.sessionToken);
  }
  std::sort(headers.begin(), headers.end());
  struct curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) list = curl_slist_append(list, (name + ": " + value).c_str());
  return list;
}

}  // namespace

S3Client::S3Client(S3Settings settings, std::string bucket)
    : settings_(std::move(settings)), bucket_(std::move(bucket)) {
  SharedConnectionCache();  // initialises libcurl, once
  curl_ = curl_easy_init();
}

S3Client::~S3Client() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
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
    answer.failure = "libcurl could not start";
    return answer;
  }
  curl_easy_reset(curl);
  const std::string url = RequestUrl(settings_.endpoint, settings_.region, bucket_, request.key,
                                     CanonicalQuery(request.query));
  const std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
  curl_easy_setopt(curl, CURLOPT_SHARE, SharedConnectionCache());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.credentials.accessKey.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.credentials.secretKey.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings_.connectTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings_.stallTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepETag);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.etag);
  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT" || request.method == "POST") {
    // The body is sent from where it is; libcurl copies nothing.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  struct curl_slist* headers = HeaderList(request, settings_);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) {
    answer.error = TransportError(code);
    answer.failure = std::string(curl_easy_strerror(code)) + " (" + request.method + " " + url + ")";
    return answer;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
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
