#pragma once
// What the upload object needs of the page engine: the host request (body),
// the host response (notice text, connection state) and the scripting context
// that hands both to OnStartPage. Adapters (in-memory, CGI, HTTP) supply them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "runtime/object.h"

namespace parcelmoor {

class HostRequest {
 public:
  virtual ~HostRequest() = default;
  // Announced size of the request body in bytes.
  virtual int64_t TotalBytes() = 0;
  // Copies the next body bytes into `into`, at most `count` of them (fewer is
  // fine) and returns how many; at least one. Raises once no body byte remains
  // or the read fails: the reader has no other way to see the end. On a raise
  // nothing was written to `into`.
  virtual size_t BinaryRead(uint8_t* into, size_t count) = 0;
  // Reads as BinaryRead does, but may hand back the bytes where the host
  // already holds them (a host that reads its socket ahead) rather than
  // copy them into `scratch`, which has room for `count`. The bytes stay as
  // they are until the second call after this one returns, so that the
  // reader may still use the last chunk's bytes while it reads the next.
  virtual std::span<const uint8_t> ReadBody(uint8_t* scratch, size_t count) {
    return {scratch, BinaryRead(scratch, count)};
  }
};

class HostResponse {
 public:
  virtual ~HostResponse() = default;
  // Appends text to the response sent to the client.
  virtual void Write(std::string_view text) = 0;
  // True while the client that sent the request is still connected.
  virtual bool IsClientConnected() = 0;
};

// The page's scripting context; a script-visible object so that it can be
// passed to OnStartPage through the dispatch layer.
class ScriptingContext : public Object {
 public:
  virtual std::shared_ptr<HostRequest> Request() = 0;
  virtual std::shared_ptr<HostResponse> Response() = 0;
};

// A host adapter that is at once the scripting context, the request and the
// response of one page: Request() and Response() share ownership of it.
class PageHost : public ScriptingContext, public HostRequest, public HostResponse {
 public:
  std::shared_ptr<HostRequest> Request() override {
    return std::shared_ptr<HostRequest>(shared_from_this(), static_cast<HostRequest*>(this));
  }
  std::shared_ptr<HostResponse> Response() override {
    return std::shared_ptr<HostResponse>(shared_from_this(), static_cast<HostResponse*>(this));
  }
};

}  // namespace parcelmoor
