#pragma once
// The request an upload page runs against: its scripting context, host
// request and host response in one, backed by a client socket. Once the
// header is parsed the body is a known number of raw bytes (chunked bodies
// are refused before), so BinaryRead takes them straight from the body
// source (body_source.h: plain TCP or TLS) into the reader's chunk, never
// past the body: first what the header read left in the connection's
// buffer, then the source itself. Write collects the answer's text. Used on
// the upload's own thread only.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>

#include "host/request_pipeline.h"
#include "http/body_rate.h"
#include "http/body_source.h"
#include "upload/host_interfaces.h"

namespace parcelmoor::httpd {

// The connection's side of a body: while the upload runs, nobody else
// touches these.
struct BodySocket {
  BodySource& source;
  boost::beast::flat_buffer& buffered;  // bytes the header read took past the header
  const std::atomic<bool>& cut;         // set when the server cuts the upload off
};

struct BodyLimits {
  std::chrono::milliseconds stall{30'000};  // the longest wait for any body byte
  int64_t minRate = 0;                      // bytes a second; 0: none
  std::chrono::milliseconds rateWindow{10'000};
};

class SocketPageHost final : public ScriptingContext, public HostRequest, public HostResponse {
 public:
  SocketPageHost(BodySocket socket, int64_t length, bool expectContinue, BodyLimits limits);

  std::shared_ptr<HostRequest> Request() override;
  std::shared_ptr<HostResponse> Response() override;
  int64_t TotalBytes() override { return length_; }
  size_t BinaryRead(uint8_t* into, size_t count) override;
  // A body over kReadAheadFrom is received up to kAheadHalf bytes at a time
  // into a buffer of two halves, and handed out from there in chunks: one
  // recv() per several chunks, with no copy. A recv() goes into the free
  // tail of the current half, or else into the other half, which holds no
  // chunk handed out by the last two reads.
  std::span<const uint8_t> ReadBody(uint8_t* scratch, size_t count) override;
  void Write(std::string_view text) override { written_.append(text); }
  bool IsClientConnected() override;

  // Every announced body byte has been read.
  bool bodyDone() const { return remaining_ == 0; }
  // Leaves the socket as the event loop expects it. Call once the body has
  // been read as far as it will be.
  void EndBody() { socket_.source.SetLowWater(1); }

  bool failed() const { return failed_; }
  // The client was too slow (a stall or too low a rate), but may still be
  // there to be answered.
  bool tooSlow() const { return tooSlow_; }
  // One word for the log: client-gone, read-timeout, body-too-slow,
  // cut-at-shutdown, read-error.
  const std::string& note() const { return note_; }
  int64_t received() const { return received_; }
  std::string& written() { return written_; }

 private:
  size_t Took(size_t n);
  // Receives the next bytes of the body into the read-ahead buffer, in a
  // part of it with room for at least a `chunk` of them.
  void FillAhead(size_t chunk);
  uint8_t* aheadAt(size_t offset) { return ahead_.get() + half_ * kAheadHalf + offset; }

  static constexpr size_t kAheadHalf = 512 * 1024;
  static constexpr int64_t kReadAheadFrom = 256 * 1024;
  size_t Receive(uint8_t* into, size_t want);
  void SendContinue();
  [[noreturn]] void Fail(const boost::system::error_code& ec);
  [[noreturn]] void FailTooSlow();

  BodySocket socket_;
  int64_t length_;
  int64_t remaining_;
  bool expectContinue_;
  BodyLimits limits_;
  BodyRateGuard rate_;
  bool failed_ = false;
  bool tooSlow_ = false;
  std::string failure_;
  std::string note_;
  int64_t received_ = 0;
  bool fresh_ = false;  // the last read took its bytes from recv()
  std::unique_ptr<uint8_t[]> ahead_;  // 2 x kAheadHalf once a large body is read
  size_t half_ = 0;                   // the half chunks are handed out from
  size_t aheadPos_ = 0;               // in that half: the next byte to hand out
  size_t aheadEnd_ = 0;               // in that half: the end of the bytes received
  std::string written_;
};

// An upload's body on a client socket, as the request pipeline reads it.
// Used on the upload's thread only.
class SocketUpload final : public UploadTransport {
 public:
  // `client` is what the application is told of the request; `bodyEnded`
  // runs once the body has been read as far as it will be (the server frees
  // the upload's slot through it, before any hand-off wait).
  SocketUpload(BodySocket socket, bool expectContinue, BodyLimits limits, HandoffRequest client,
               std::function<void()> bodyEnded);

  std::shared_ptr<ScriptingContext> OpenBody(int64_t length) override;
  // Leaves the socket as the event loop expects it, then runs `bodyEnded`.
  void BodyEnded() override;
  BodyOutcome TakeBodyOutcome() override { return TakeOutcome(*host_); }
  HandoffRequest DescribeClient() override { return client_; }

  // The body's host once OpenBody made it, else nullptr.
  const SocketPageHost* body() const { return host_.get(); }

 private:
  BodySocket socket_;
  bool expectContinue_;
  BodyLimits limits_;
  HandoffRequest client_;
  std::function<void()> bodyEnded_;
  std::shared_ptr<SocketPageHost> host_;
};

}  // namespace parcelmoor::httpd
