#pragma once
// The embedded HTTP/1.1 server behind `parcelmoor serve`. GET / answers the
// upload page; POST / runs the upload page with the request body pulled
// straight from the socket, and answers its result as HTML or, when the
// request accepts application/json, as JSON.
//
// One thread per connection: each upload object is created, called and
// released on the thread of the connection that carries its request. Every
// network operation has a deadline, so a slow or silent client cannot hold a
// thread for longer than the deadline of the step it is in.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/page_runner.h"

namespace parcelmoor {

struct HttpServerOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 8080;  // 0: the system picks a free port
  PageSettings page;
  // A POST announcing more body bytes is answered 413 before any is read.
  std::optional<int64_t> maxRequestSize;
  // Connections served at once; further ones are answered 503.
  int32_t maxConnections = 64;
  // Deadline for a whole request header, waiting for it on a kept-alive
  // connection included.
  std::chrono::milliseconds headerTimeout{10'000};
  // Deadline for each read of body bytes and each write of a response.
  std::chrono::milliseconds ioTimeout{30'000};
  // How long running requests may go on after Stop().
  std::chrono::milliseconds shutdownGrace{5'000};
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

  // Accepts and serves until Stop(). Then stops accepting, closes idle
  // connections, gives running requests the shutdown grace, cuts the rest
  // off (their uploads end as if the client had gone) and returns once every
  // connection thread has ended.
  // REQUIRES: Listen() succeeded.
  void Run();

  // Makes Run() wind down and return. Callable from any thread, more than
  // once; not from a signal handler.
  void Stop();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the connection threads
};

}  // namespace parcelmoor
