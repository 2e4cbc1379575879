#include "host/cgi_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "host/host_errors.h"
#include "upload/host_interfaces.h"
#include "host/request_pipeline.h"
#include "host/security_headers.h"
#include "storage/posix_io.h"

namespace parcelmoor {
namespace {

std::string_view Meta(const CgiEnvironment& env, const char* name) {
  const char* value = env(name);
  return value ? std::string_view(value) : std::string_view();
}

// The body on a descriptor, read straight into the reader's chunk and never
// past the announced length.
class CgiPageHost final : public PageHost {
 public:
  CgiPageHost(int fd, int64_t length, const std::atomic<bool>* stop)
      : fd_(fd), length_(length), remaining_(length), stop_(stop) {}

  int64_t TotalBytes() override { return length_; }

  size_t BinaryRead(uint8_t* into, size_t count) override {
    if (!failure_.empty()) hosterr::RaiseReadFailed(failure_);
    if (remaining_ == 0) hosterr::RaiseEndOfBody();
    if (count == 0) RaiseRuntimeError(errnum::kInvalidProcedureCall);
    if (static_cast<int64_t>(count) > remaining_) count = static_cast<size_t>(remaining_);
    ssize_t n;
    do {
      if (StopRequested()) {
        // Web servers stop a CGI program this way when its client has gone.
        failure_ = "stopped by the web server";
        note_ = "client-gone";
        hosterr::RaiseReadFailed(failure_);
      }
      n = ::read(fd_, into, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      failure_ = std::string("reading the body failed: ") + std::strerror(errno);
      note_ = "read-error";
      hosterr::RaiseReadFailed(failure_);
    }
    if (n == 0) {
      // The web server ended the body early: its client has gone.
      failure_ = "the body ended after " + std::to_string(received_) + " of " + std::to_string(length_) + " bytes";
      note_ = "client-gone";
      hosterr::RaiseReadFailed(failure_);
    }
    remaining_ -= n;
    received_ += n;
    return static_cast<size_t>(n);
  }

  void Write(std::string_view text) override { written_.append(text); }
  bool IsClientConnected() override { return failure_.empty() && !StopRequested(); }

  const std::string& failure() const { return failure_; }
  // One word for the log: client-gone or read-error.
  const std::string& note() const { return note_; }
  int64_t received() const { return received_; }
  std::string& written() { return written_; }

 private:
  bool StopRequested() const { return stop_ && stop_->load(); }

  int fd_;
  int64_t length_;
  int64_t remaining_;
  const std::atomic<bool>* stop_;
  int64_t received_ = 0;
  std::string failure_;
  std::string note_;
  std::string written_;
};

// The answer behind CGI headers, with the security headers it does not set
// itself.
void SendAnswer(const PageAnswer& a, const RequestVerdict& verdict, int outFd, std::string_view frameAncestors);

// A CGI request: the body on a descriptor, the answer on another, the
// client's request in meta-variables.
class CgiTransport final : public RequestTransport {
 public:
  CgiTransport(const CgiEnvironment& env, int inFd, int outFd, const std::atomic<bool>* stop,
               std::string_view frameAncestors)
      : env_(env), inFd_(inFd), outFd_(outFd), stop_(stop), frameAncestors_(frameAncestors) {}

  std::shared_ptr<ScriptingContext> OpenBody(int64_t length) override {
    host_ = std::make_shared<CgiPageHost>(inFd_, length, stop_);
    return host_;
  }
  void BodyEnded() override {}
  BodyOutcome TakeBodyOutcome() override { return TakeOutcome(*host_); }
  HandoffRequest DescribeClient() override;
  void Send(const PageAnswer& answer, const RequestVerdict& verdict) override;

 private:
  const CgiEnvironment& env_;
  int inFd_;
  int outFd_;
  const std::atomic<bool>* stop_;
  std::string_view frameAncestors_;
  std::shared_ptr<CgiPageHost> host_;
};

void CgiTransport::Send(const PageAnswer& a, const RequestVerdict& verdict) {
  SendAnswer(a, verdict, outFd_, frameAncestors_);
}

void SendAnswer(const PageAnswer& a, const RequestVerdict& verdict, int outFd, std::string_view frameAncestors) {
  std::string out = "Status: " + std::to_string(a.status) + " " + ReasonPhrase(a.status) + "\r\n" +
                    "Content-Type: " + a.contentType + "\r\n" + "Content-Length: " + std::to_string(a.body.size()) +
                    "\r\n" + "Cache-Control: no-store\r\n";
  if (verdict.allow) out += std::string("Allow: ") + verdict.allow + "\r\n";
  for (const auto& [name, value] : a.headers) out += name + ": " + value + "\r\n";
  for (const auto& [name, value] : SecurityHeadersBeside(a.headers, frameAncestors)) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (!verdict.headOnly) out += a.body;
  WriteAll(outFd, out);  // a web server that stopped listening gets nothing more
}

HandoffRequest CgiTransport::DescribeClient() {
  HandoffRequest r;
  r.originalTarget = std::string(Meta(env_, "REQUEST_URI"));
  r.cookie = std::string(Meta(env_, "HTTP_COOKIE"));
  r.authorization = std::string(Meta(env_, "HTTP_AUTHORIZATION"));
  r.method = std::string(Meta(env_, "REQUEST_METHOD"));
  r.contentType = std::string(Meta(env_, "CONTENT_TYPE"));
  std::string earlier(Meta(env_, "HTTP_X_FORWARDED_FOR"));
  std::string client(Meta(env_, "REMOTE_ADDR"));
  r.forwardedFor = earlier.empty() ? client : earlier + ", " + client;
  return r;
}

}  // namespace

int AnswerCgiRequest(const CgiEnvironment& env, int inFd, int outFd, const CgiOptions& options) {
  RequestLogEntry entry;
  entry.start = std::chrono::system_clock::now();
  auto started = std::chrono::steady_clock::now();
  std::string_view address = Meta(env, "REMOTE_ADDR");
  std::string_view port = Meta(env, "REMOTE_PORT");
  entry.peer = address.empty() ? "-" : std::string(address) + (port.empty() ? "" : ":" + std::string(port));
  entry.peer = ClientForLog(entry.peer, Meta(env, "HTTP_X_FORWARDED_FOR"), options.upload);
  std::string_view method = Meta(env, "REQUEST_METHOD");
  entry.method = method.empty() ? "GET" : std::string(method);
  entry.path = std::string(Meta(env, "SCRIPT_NAME")) + std::string(Meta(env, "PATH_INFO"));
  std::optional<std::string_view> length;
  if (const char* text = env("CONTENT_LENGTH"); text != nullptr && *text != '\0') length = text;

  CgiTransport transport(env, inFd, outFd, options.stopRequested, options.upload.frameAncestors);
  UploadPipeline pipeline{options.upload, options.handoff, options.authorization.get()};
  int status = 500;
  try {
    status = AnswerRequest({entry.method, length, Meta(env, "HTTP_ACCEPT"), Meta(env, "CONTENT_TYPE")},
                           transport, pipeline, entry);
  } catch (const std::exception& e) {
    // Out of memory and the like: answered and logged as serve does, rather
    // than a crash the web server would report as a broken script.
    entry.note = std::string("internal-error:") + e.what();
    entry.status = status;
    transport.Send(AnswerRefusal(status, "The upload failed inside the server.", AcceptsJson(Meta(env, "HTTP_ACCEPT"))),
                   RequestVerdict{});
  }
  entry.duration = std::chrono::steady_clock::now() - started;
  WriteRequestLog(entry);
  return status;
}

}  // namespace parcelmoor
