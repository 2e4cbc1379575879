#pragma once
// The embedded HTTP/1.1 server behind `parcelmoor serve`. GET / answers the
// upload page; POST / runs the upload page with the request body pulled
// straight from the socket, and answers its result as HTML or, when the
// request accepts application/json, as JSON.
//
// Waiting costs memory, not threads: accepting, reading request headers,
// keep-alive idling and sending answers run on one event-loop thread (the
// one that calls Run()). A connection gets a thread of its own only while
// its upload page runs; the upload object is created, called and released
// on that thread (one that finished an upload may wait a while for the
// next). Every wait has a limit, and a body must keep a minimum
// average rate, so slow or silent clients cannot hold the server.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/request_policy.h"
#include "host/token_file.h"
#include "http/upload_forwarder.h"

namespace parcelmoor {

namespace httpd {
struct ServerCore;
class TlsContext;
}

struct HttpServerOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 8080;  // 0: the system picks a free port
  UploadSettings upload;
  // Open connections; a further one is answered 503 (see ConnectionCap()).
  int32_t maxConnections = 10'000;
  // Uploads running at once; a further one waits for a slot (body unread)
  // for up to `uploadWait`, and is answered 503 with Retry-After when the
  // wait runs out or too many wait (4 per slot).
  int32_t maxUploads = 64;
  // Uploads running at once for one client address (behind a trusted proxy,
  // the address it forwards); a further one waits likewise (at most
  // `maxUploads` of one client), else is answered 429 with Retry-After.
  int32_t maxUploadsPerClient = 4;
  // Uploads running at once for the addresses of one prefix (IPv4 /
  // `clientPrefixV4`, IPv6 / `clientPrefixV6`); 0: a quarter of
  // `maxUploads`, at least `maxUploadsPerClient`.
  int32_t maxUploadsPerPrefix = 0;
  int32_t clientPrefixV4 = 24;
  int32_t clientPrefixV6 = 64;
  // When uploads wait and the slots that would let them run are held, the
  // running upload furthest below this rate (bytes a second over its whole
  // run, once it has run kReclaimGrace) gives its slot up: answered 408,
  // its files removed as for a lost client. 0: never.
  int64_t fairUploadRate = 32 * 1024;
  std::chrono::milliseconds uploadWait{5'000};
  // Deadline for a whole request header, from its first byte (on a new
  // connection, from the accept).
  std::chrono::milliseconds headerTimeout{10'000};
  // A kept-alive connection with no new request for this long is closed.
  std::chrono::milliseconds keepaliveTimeout{5'000};
  // Deadline for each wait for body bytes and for each answer written.
  std::chrono::milliseconds ioTimeout{30'000};
  // The least average body rate in bytes a second (0: none), measured over
  // windows of `bodyRateWindow` after a grace period of the same length.
  int64_t minBodyRate = 1024;
  std::chrono::milliseconds bodyRateWindow{10'000};
  // The application each stored upload is handed to, and how long it has
  // to answer (see host/upload_handoff.h).
  std::optional<ForwardTarget> forward;
  std::chrono::milliseconds forwardTimeout{30'000};
  // Who may upload, decided before any body byte is read (see
  // host/authorization.h): a token file, the application at `authorize`, or
  // both. The application is asked from the event loop: the wait for its
  // answer holds neither a thread nor an upload slot.
  std::shared_ptr<TokenFile> tokens;
  std::optional<ForwardTarget> authorize;
  std::chrono::milliseconds authorizeTimeout{5'000};
  // Resumable uploads at /files/ (host/tus/resumable_uploads.h): on unless
  // --no-resumable; an unfinished one is removed this long after its last
  // bytes came, and one client address may hold this many unfinished ones.
  bool resumable = true;
  std::chrono::seconds resumableExpiry{24 * 3600};
  int32_t maxUnfinishedPerClient = 16;
  // Unfinished resumable uploads of all clients together; more creations
  // are answered 503. 0: no cap.
  int32_t maxUnfinished = 1024;
  // Where unfinished resumable uploads keep their bytes ("": the upload
  // directory's private folder; needed when that is an object store).
  std::string resumableSpool;
  // How long running requests may go on after Stop() (--shutdown-timeout).
  std::chrono::milliseconds shutdownGrace{5'000};
  // The request log and server events: text lines, or one JSON object a line.
  bool jsonLog = false;
  // GET /metrics: on a listener of its own at `metricsBind` ("ADDRESS:PORT";
  // it answers /healthz and /readyz too), and on the main port for requests
  // bearing `metricsToken`. Neither: no metrics.
  std::string metricsBind;
  std::string metricsToken;
  // Origins whose pages may upload (POST / and /files/) across origins;
  // "*": any, without credentials. Empty: no CORS headers.
  std::vector<std::string> corsOrigins;
  // Free bytes the upload directory must keep for GET /readyz to say ready.
  int64_t readyMinFreeBytes = 0;
  // HTTPS on the main port (--tls-cert, --tls-key); none: plain HTTP. The
  // metrics listener stays plain.
  std::shared_ptr<httpd::TlsContext> tls;
};

class HttpServer {
 public:
  explicit HttpServer(HttpServerOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens. Returns the port bound (the one picked for port 0).
  // Throws std::runtime_error when the address cannot be bound.
  uint16_t Listen();
  // The metrics listener's port (after Listen()); 0 when there is none.
  uint16_t metricsPort() const;

  // Accepts and serves until Stop(). Then stops accepting, closes idle
  // connections, gives running requests the shutdown grace, cuts the rest
  // off (their uploads end as if the client had gone) and returns once every
  // connection has ended.
  // REQUIRES: Listen() succeeded.
  void Run();

  // Makes Run() wind down and return; a second call cuts running uploads
  // off at once. Callable from any thread; not from a signal handler.
  void Stop();

  // Writes a server event (start, stop) to the log in its format, in order
  // with the request lines. Callable from any thread.
  void LogEvent(std::string_view event, std::string_view message,
                const std::vector<std::pair<std::string, std::string>>& fields = {});

 private:
  std::shared_ptr<httpd::ServerCore> core_;  // shared with connections and upload threads
};

}  // namespace parcelmoor
