#pragma once
// One client connection on the event loop: waits for a request (keep-alive
// idling and header reading, each with its own deadline), answers it, and
// hands an upload to a thread of its own for as long as its page runs.
// Every member runs on the event-loop thread, except Cut() (any thread) and
// RunUpload() (the upload's thread, while the loop leaves the connection
// alone).

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/authorization.h"
#include "host/request_policy.h"
#include "host/request_log.h"
#include "host/tus/resumable_uploads.h"
#include "host/upload_handoff.h"
#include "http/body_source.h"
#include "http/routes.h"
#include "http/server_core.h"
#include "http/tls_stream.h"

namespace parcelmoor::httpd {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `routes`: what this listener answers (the main port's or the metrics
  // listener's table); it outlives the connection.
  Connection(std::shared_ptr<ServerCore> core, tcp::socket socket, const RouteTable& routes);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Registers the connection and waits for its first request.
  void Start();
  // The server is stopping: a connection waiting for a request ends now.
  void OnStop();
  // Shuts the socket down so that a running upload's body read ends at
  // once, as if the client had gone. Callable from any thread.
  void Cut();
  bool uploading() const { return phase_ == Phase::kUpload; }
  // A slot freed for the upload that waited for one, or its wait ended in
  // a refusal (kServerFull, kClientFull). Both on the event loop.
  void OnSlot();
  void OnNoSlot(UploadAdmission::Verdict why);
  // The upload was told to wait for a slot (kWait): its wait starts now.
  void QueuedForSlot() { queuedAt_ = std::chrono::steady_clock::now(); }

  // The route tables (connection_routes.cpp).
  static RouteTable MainRoutes(const HttpServerOptions& options, bool resumable);
  static RouteTable MetricsRoutes();
  // Bytes the connection has received so far (for the rate of its upload);
  // -1 when unknown. Any thread.
  int64_t BytesReceived() const;
  // Its running upload gives its slot to a waiting one: the body read ends
  // as for a cut, the client is answered 408 and the upload keeps none of
  // its files. On the event loop.
  void GiveUpSlot();
  // Whose slot its upload holds or waits for.
  const std::string& uploadClient() const { return uploadClient_; }

 private:
  enum class Phase { kWaiting, kAnswering, kQueued, kUpload, kClosing };
  struct SendOptions {
    bool head = false;       // HEAD: headers only
    bool keepAlive = false;  // the connection may serve another request
    bool drain = false;      // request bytes may be left unread
    const char* allow = nullptr;
    bool retryAfter = false;
  };
  struct UploadOutcome;

  // TLS: the handshake first (its deadline is the header's), and a plain
  // HTTP request on the TLS port answered 400 in plain HTTP.
  void StartTls();
  void AnswerPlainHttp();
  // Runs `op` on the connection's stream: the TLS one, or the TCP one.
  template <class Op>
  void OnStream(Op&& op) {
    if (tls_) op(*tls_);
    else op(stream_);
  }
  void Expire(std::chrono::steady_clock::duration d);
  void WaitForRequest();
  void ReadHeader();
  void OnHeader(const beast::error_code& ec);
  void HandleRequest();
  void Refuse(int status, std::string_view why, bool json, SendOptions send);
  void AnnouncePageFeatures(std::string& pageHtml) const;
  void Answer(const PageAnswer& answer, SendOptions send);
  void OnAnswered(const beast::error_code& ec);
  // The request ends: the observers (the log, the metrics) hear of it.
  void LogRequest();

  // connection_routes.cpp: the handlers of the route table's rows.
  void HandleUploadPage(std::string_view path);
  void ServeAsset(std::string_view path);
  void ServeHealth(std::string_view path);
  void ServeReadiness(std::string_view path);
  void ServeMetrics(std::string_view path);
  void NotFound(std::string_view path);
  // How a request's answer is sent when its body was not read: kept alive
  // when the client asks and no body byte waits, else drained and closed.
  SendOptions PlainSend() const;
  // GET and HEAD only: false after answering 405 otherwise.
  bool OnlyReading(const char* allow = "GET, HEAD");
  // A CORS preflight answered, or the CORS headers of this request's
  // answers set; true when the request was answered.
  bool ApplyCors();
  void Close(bool drain);
  void DrainSome();
  void CloseNow();

  // upload_job.cpp: the one path of every upload, multipart or resumable:
  // authorization with a continuation, an upload slot (at once, after a
  // wait, or a refusal), a thread of the pool, and the finish back on the
  // loop. Only what runs on the thread and the answer differ.
  using Decided = std::function<void(AuthorizationOutcome)>;
  void Authorize(HandoffRequest client, bool json, Decided then);
  // `start` runs holding a slot; `refuse` when none is to be had.
  void AdmitUploadJob(std::function<void()> start, std::function<void(UploadAdmission::Verdict)> refuse);
  // Runs on an upload thread, with the socket out of the loop's hands;
  // returns what finishes the request on the loop (after the socket is
  // back and the slot freed). `noThread` answers when no thread starts.
  using UploadJob = std::function<std::function<void()>()>;
  void RunUploadJob(UploadJob job, std::function<void()> noThread);
  void ReclaimSocket();
  void ReleaseUploadSlot();

  // upload_dispatch.cpp: a multipart POST.
  void HandleUpload(const RequestVerdict& verdict);
  void AdmitUpload(const RequestVerdict& verdict);
  void StartUpload();
  void RefuseForSlots(UploadAdmission::Verdict why);
  UploadOutcome RunUpload(const RequestVerdict& verdict, bool expectContinue);
  void FinishUpload(UploadOutcome outcome);
  HandoffRequest DescribeForApplication() const;
  void AuthorizeUpload(const RequestVerdict& verdict);
  void OnAuthorized(const RequestVerdict& verdict, AuthorizationOutcome outcome);

  // resumable_dispatch.cpp: the tus requests at /files/.
  struct ResumableReply;
  void HandleResumable(std::string_view path);
  void AuthorizeResumable(ResumableRequest request);
  // Answers a resumable request that authorization refused.
  void RefuseResumable(AuthorizationOutcome outcome);
  void StartResumable(ResumableRequest request, std::optional<AuthorizationOutcome> authorized);
  void RefuseResumableForSlots(UploadAdmission::Verdict why);
  ResumableReply RunResumable(const ResumableRequest& request, const std::optional<AuthorizationOutcome>& authorized);
  void FinishResumable(ResumableReply reply);

  // Runs a step of the connection; an exception it throws ends the
  // connection (logged, at most once a second) instead of the server.
  template <class Step>
  void Guarded(Step&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      Failed(e.what());
    }
  }
  void Failed(const char* what) noexcept;

  std::shared_ptr<ServerCore> core_;
  beast::tcp_stream stream_;
  int fd_;  // the socket's descriptor, for the calls made without Asio
  std::unique_ptr<TlsStream> tls_;          // on the TLS port
  std::unique_ptr<BodySource> bodySource_;  // what an upload's thread reads the body from
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::buffer_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  SendOptions sending_;
  RequestLogEntry entry_;
  const RouteTable& routes_;
  const Route* route_ = nullptr;  // this request's row; null before one is read
  std::vector<std::pair<std::string, std::string>> corsHeaders_;  // on every answer to this request
  std::chrono::steady_clock::time_point queuedAt_{};  // set while waiting for a slot
  std::optional<std::chrono::steady_clock::duration> slotWait_;
  std::chrono::steady_clock::time_point started_;
  std::string peer_;
  std::string address_;       // the peer's address without its port
  std::string uploadClient_;  // whose upload slot a running upload holds
  Phase phase_ = Phase::kWaiting;
  bool served_ = false;  // a request was answered: the connection is kept alive
  std::unique_ptr<char[]> sink_;
  size_t dropped_ = 0;
  std::atomic<bool> cut_{false};
  bool slotReclaimed_ = false;  // GiveUpSlot cut the running upload
  bool holdsUploadSlot_ = false;  // counted in core_->admission
  // The upload admitted or waiting for a slot: its verdict and whether the
  // client waits for 100 Continue.
  std::optional<RequestVerdict> admitting_;
  bool expectContinue_ = false;
  // An upload waiting for a slot: what starts it then, or refuses it.
  std::function<void()> queuedStart_;
  std::function<void(UploadAdmission::Verdict)> queuedRefuse_;
  // The socket is out of the event loop's hands while the upload's thread
  // reads it; `protocol_` puts it back.
  bool released_ = false;
  tcp protocol_ = tcp::v4();
  // The running upload's decision (narrowed settings, headers for the
  // hand-off); none without authorization. Set on the loop before the
  // upload's thread starts, read by that thread.
  std::optional<AuthorizationOutcome> authorized_;
};

}  // namespace parcelmoor::httpd
