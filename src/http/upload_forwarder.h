#pragma once
// The client side of the calls to the user's application: one HTTP/1.1
// request (the hand-off's POST, the authorization's GET) over TCP or a Unix
// socket, bounded by one deadline for connecting, sending and receiving the
// answer.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/upload_handoff.h"

namespace boost::asio {
class io_context;
}

namespace parcelmoor {

// Where the application listens: "http://HOST[:PORT][/PATH]" (HOST a name,
// an IPv4 address or a bracketed IPv6 address) or
// "unix:/SOCKET/PATH:/PATH" (the request path after the socket's).
struct ForwardTarget {
  bool unixSocket = false;
  std::string host;        // TCP: the name or address, without brackets
  std::string port = "80";
  std::string socketPath;  // Unix socket
  std::string target = "/";

  // Nullopt with `why` set when `url` is neither form.
  static std::optional<ForwardTarget> Parse(std::string_view url, std::string& why);
};

// Posts `request` to the application and returns its answer. Every failure
// (name, connection, deadline, a malformed or oversized answer) comes back
// as `reached == false`; never throws.
HandoffAnswer CallApplication(const ForwardTarget& where, const HandoffRequest& request,
                              std::chrono::milliseconds timeout);

// Asks the application whether the client's upload may go on: a GET with
// no body carrying X-Original-Method, X-Original-URI,
// X-Original-Content-Length, X-Original-Content-Type, X-Forwarded-For and
// the client's Cookie and Authorization (control characters taken out).
// Failures come back as CallApplication's do; never throws.
HandoffAnswer AskApplication(const ForwardTarget& where, const HandoffRequest& request,
                             std::chrono::milliseconds timeout);

// AskApplication without waiting: the exchange runs on `ioc`, and `done`
// gets the answer there (also for a failure). No thread is held meanwhile.
void AskApplicationAsync(boost::asio::io_context& ioc, const ForwardTarget& where, const HandoffRequest& request,
                         std::chrono::milliseconds timeout, std::function<void(HandoffAnswer)> done);

}  // namespace parcelmoor
