#pragma once
// An in-memory host for tests and the command line: serves a body held in
// memory or streamed from a file (never loaded whole), follows a plan of read
// sizes, can announce a TotalBytes other than the body's length, counts its
// BinaryRead calls, can report the client gone once a given number of body
// bytes has been delivered, and captures what is written to the response.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upload/host_interfaces.h"

namespace parcelmoor {

struct MemoryHostOptions {
  // Read sizes used in turn and repeated; empty means every read delivers as
  // many bytes as asked. {1} delivers one byte per read.
  std::vector<size_t> readPlan;
  // Announced body length; default: the body's real length.
  std::optional<int64_t> totalBytes;
  // IsClientConnected answers false once this many body bytes were delivered.
  std::optional<int64_t> disconnectAfter;
};

// Parses "13,1,65535" into a read plan; returns nullopt when malformed or a
// size is 0.
std::optional<std::vector<size_t>> ParseReadPlan(std::string_view text);

class MemoryHost : public PageHost {
 public:
  // Serves `body` from memory.
  static std::shared_ptr<MemoryHost> FromBytes(std::string body, MemoryHostOptions options = {});
  // Serves the bytes of an open stream, read as asked (never loaded whole).
  // Takes ownership of `stream`. `length` is the real length when known.
  static std::shared_ptr<MemoryHost> FromStream(std::FILE* stream, std::optional<int64_t> length,
                                                MemoryHostOptions options = {});
  ~MemoryHost() override;

  // HostRequest
  int64_t TotalBytes() override;
  size_t BinaryRead(uint8_t* into, size_t count) override;
  // HostResponse
  void Write(std::string_view text) override;
  bool IsClientConnected() override;

  int32_t binaryReadCalls() const { return binaryReadCalls_; }
  int64_t bytesDelivered() const { return delivered_; }
  const std::string& responseText() const { return response_; }

 private:
  MemoryHost(MemoryHostOptions options) : options_(std::move(options)) {}

  MemoryHostOptions options_;
  std::string body_;
  std::FILE* stream_ = nullptr;
  std::optional<int64_t> streamLength_;
  size_t bodyPos_ = 0;
  bool streamAtEnd_ = false;
  size_t planIndex_ = 0;
  int32_t binaryReadCalls_ = 0;
  int64_t delivered_ = 0;
  std::string response_;
};

}  // namespace parcelmoor
