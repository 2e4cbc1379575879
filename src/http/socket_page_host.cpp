#include "http/socket_page_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>

#include "host/host_errors.h"

namespace parcelmoor::httpd {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

// A body read that finds the socket empty sleeps until this many bytes have
// arrived (or the rest of the body, if less), so a fast client wakes the
// server once per batch of chunks rather than once per segment. After
// kBatchPatience the read takes what has come, or waits for the first byte.
constexpr int kBodyBatch = 512 * 1024;
constexpr auto kBatchPatience = std::chrono::milliseconds(20);

}  // namespace

SocketPageHost::SocketPageHost(BodySocket socket, int64_t length, bool expectContinue, BodyLimits limits)
    : socket_(socket),
      length_(length),
      remaining_(length),
      expectContinue_(expectContinue),
      limits_(limits),
      rate_(limits.minRate, limits.rateWindow, Clock::now()) {}

std::shared_ptr<HostRequest> SocketPageHost::Request() {
  return std::static_pointer_cast<SocketPageHost>(shared_from_this());
}

std::shared_ptr<HostResponse> SocketPageHost::Response() {
  return std::static_pointer_cast<SocketPageHost>(shared_from_this());
}

size_t SocketPageHost::BinaryRead(uint8_t* into, size_t count) {
  if (failed_) hosterr::RaiseReadFailed(failure_);
  if (remaining_ == 0) hosterr::RaiseEndOfBody();
  if (count == 0) RaiseRuntimeError(errnum::kInvalidProcedureCall);
  size_t want = static_cast<size_t>(std::min<int64_t>(remaining_, static_cast<int64_t>(count)));
  if (aheadPos_ < aheadEnd_) {  // bytes ReadBody received ahead come first
    const size_t n = std::min(want, aheadEnd_ - aheadPos_);
    std::memcpy(into, aheadAt(aheadPos_), n);
    aheadPos_ += n;
    fresh_ = true;
    return Took(n);
  }
  if (expectContinue_) SendContinue();
  auto& buffered = socket_.buffered;
  if (buffered.size() > 0) {
    size_t n = net::buffer_copy(net::buffer(into, want), buffered.data());
    buffered.consume(n);
    fresh_ = false;
    return Took(n);
  }
  fresh_ = true;
  return Took(Receive(into, want));
}

std::span<const uint8_t> SocketPageHost::ReadBody(uint8_t* scratch, size_t count) {
  if (aheadPos_ == aheadEnd_) {
    const bool large = remaining_ > kReadAheadFrom && socket_.buffered.size() == 0 && count > 0 && !failed_;
    if (!large) return {scratch, BinaryRead(scratch, count)};
    if (expectContinue_) SendContinue();
    FillAhead(count);
  }
  const size_t n = std::min(count, aheadEnd_ - aheadPos_);
  const uint8_t* chunk = aheadAt(aheadPos_);
  aheadPos_ += n;
  fresh_ = true;
  return {chunk, Took(n)};
}

void SocketPageHost::FillAhead(size_t chunk) {
  if (!ahead_) ahead_ = std::make_unique<uint8_t[]>(2 * kAheadHalf);
  // A tail too short for a whole chunk is left: the other half it is.
  if (kAheadHalf - aheadEnd_ < chunk) {
    half_ ^= 1;
    aheadPos_ = aheadEnd_ = 0;
  }
  const auto want = static_cast<size_t>(std::min<int64_t>(remaining_, static_cast<int64_t>(kAheadHalf - aheadEnd_)));
  aheadEnd_ += Receive(aheadAt(aheadEnd_), want);
}

// Called after every chunk. Bytes that recv() has just delivered show the
// client was there a moment ago, and a close right after them surfaces at
// the next read, so only bytes from the buffer cost a look at the socket.
bool SocketPageHost::IsClientConnected() {
  if (failed_) return false;
  if (fresh_) return true;
  return socket_.source.PeerStillThere(remaining_ <= static_cast<int64_t>(socket_.buffered.size()));
}

size_t SocketPageHost::Took(size_t n) {
  remaining_ -= static_cast<int64_t>(n);
  received_ += static_cast<int64_t>(n);
  rate_.Count(static_cast<int64_t>(n));
  return n;
}

// Beast never sends it: the client learns that its body is wanted only
// now, so a request refused earlier costs it no upload.
void SocketPageHost::SendContinue() {
  expectContinue_ = false;
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  const auto deadline = Clock::now() + limits_.stall;
  size_t sent = 0;
  while (sent < kContinue.size()) {
    if (socket_.cut) Fail(net::error::operation_aborted);
    ssize_t n = socket_.source.Send(kContinue.data() + sent, kContinue.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) Fail(beast::error_code(errno, beast::system_category()));
    if (Clock::now() >= deadline) Fail(beast::error::timeout);
    if (int e = socket_.source.Wait(true, deadline)) Fail(beast::error_code(e, beast::system_category()));
  }
}

// Receives up to `want` (> 0) bytes from the socket: those already waiting,
// else the first to arrive. Raises when the client has closed, sends
// nothing within the stall deadline or too little for the minimum rate, or
// the socket fails.
size_t SocketPageHost::Receive(uint8_t* into, size_t want) {
  BodySource& source = socket_.source;
  const auto deadline = Clock::now() + limits_.stall;
  bool batch = true;
  for (;;) {
    // After a cut the socket reads as closed; the flag gives the reason.
    if (socket_.cut) Fail(net::error::operation_aborted);
    ssize_t n = source.Receive(into, want);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) Fail(beast::http::error::partial_message);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) Fail(beast::error_code(errno, beast::system_category()));
    // Nothing is waiting, so a rate below the minimum is the client's.
    const auto now = Clock::now();
    if (rate_.TooSlow(now)) FailTooSlow();
    if (now >= deadline) Fail(beast::error::timeout);
    // Wait for a batch of bytes, for kBatchPatience at most, then for any
    // byte; a close or an error ends either wait, and the next recv()
    // reports what there is. No wait outlasts the rate window.
    auto until = std::min(deadline, rate_.windowEnd());
    if (batch) {
      batch = false;
      until = std::min(until, now + kBatchPatience);
      source.SetLowWater(static_cast<int>(std::min<int64_t>(remaining_, kBodyBatch)));
    } else {
      source.SetLowWater(1);
    }
    if (int e = source.Wait(false, until)) Fail(beast::error_code(e, beast::system_category()));
  }
}

void SocketPageHost::FailTooSlow() {
  failed_ = true;
  tooSlow_ = true;
  failure_ = "the body arrived slower than " + std::to_string(limits_.minRate) + " bytes a second";
  note_ = "body-too-slow";
  hosterr::RaiseReadFailed(failure_);
}

// Records why the body cannot be read any further, and raises that.
void SocketPageHost::Fail(const boost::system::error_code& ec) {
  failed_ = true;
  if (socket_.cut) {
    failure_ = "cut off at shutdown";
    note_ = "cut-at-shutdown";
  } else if (ec == beast::error::timeout) {
    tooSlow_ = true;
    failure_ = "no body bytes within the read deadline";
    note_ = "read-timeout";
  } else if (ec == beast::http::error::partial_message || ec == net::error::connection_reset ||
             ec == net::error::eof) {
    failure_ = "the client closed the connection";
    note_ = "client-gone";
  } else {
    failure_ = ec.message();
    note_ = "read-error";
  }
  hosterr::RaiseReadFailed(failure_);
}

SocketUpload::SocketUpload(BodySocket socket, bool expectContinue, BodyLimits limits, HandoffRequest client,
                           std::function<void()> bodyEnded)
    : socket_(socket),
      expectContinue_(expectContinue),
      limits_(limits),
      client_(std::move(client)),
      bodyEnded_(std::move(bodyEnded)) {}

std::shared_ptr<ScriptingContext> SocketUpload::OpenBody(int64_t length) {
  host_ = std::make_shared<SocketPageHost>(socket_, length, expectContinue_, limits_);
  return host_;
}

void SocketUpload::BodyEnded() {
  host_->EndBody();
  if (bodyEnded_) bodyEnded_();
}

}  // namespace parcelmoor::httpd
