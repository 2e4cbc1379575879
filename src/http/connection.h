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

#include "host/authorization.h"
#include "host/request_policy.h"
#include "host/request_log.h"
#include "host/resumable_uploads.h"
#include "host/upload_handoff.h"
#include "http/server_core.h"

namespace parcelmoor::httpd {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<ServerCore> core, tcp::socket socket);
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

  void WaitForRequest();
  void ReadHeader();
  void OnHeader(const beast::error_code& ec);
  void HandleRequest();
  void Refuse(int status, std::string_view why, bool json, SendOptions send);
  void AnnouncePageFeatures(std::string& pageHtml) const;
  void Answer(const PageAnswer& answer, SendOptions send);
  void OnAnswered(const beast::error_code& ec);
  void LogRequest();
  void Close(bool drain);
  void DrainSome();
  void CloseNow();

  // upload_dispatch.cpp
  void HandleUpload(const RequestVerdict& verdict);
  void AdmitUpload(const RequestVerdict& verdict);
  void StartUpload();
  void RefuseForSlots(UploadAdmission::Verdict why);
  void ReclaimSocket();
  UploadOutcome RunUpload(const RequestVerdict& verdict, bool expectContinue);
  void FinishUpload(UploadOutcome outcome);
  void ReleaseUploadSlot();
  HandoffRequest DescribeForApplication() const;

  // upload_authorization.cpp
  void AuthorizeUpload(const RequestVerdict& verdict);
  void OnAuthorized(const RequestVerdict& verdict, AuthorizationOutcome outcome);

  // resumable_dispatch.cpp: the tus requests at /files/.
  struct ResumableReply;
  void HandleResumable(std::string_view path);
  void AuthorizeResumable(ResumableRequest request);
  // Answers a resumable request that authorization refused.
  void RefuseResumable(AuthorizationOutcome outcome);
  void StartResumable(ResumableRequest request, std::optional<AuthorizationOutcome> authorized);
  void RunResumableThread(ResumableRequest request, std::optional<AuthorizationOutcome> authorized);
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
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::buffer_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  SendOptions sending_;
  RequestLogEntry entry_;
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
  // A resumable request waiting for an upload slot: what starts it then.
  std::function<void()> queuedResumable_;
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
