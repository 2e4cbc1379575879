#include "host/memory_host.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "host/host_errors.h"
#include "runtime/raised_error.h"
#include "storage/posix_io.h"

namespace parcelmoor {
std::optional<std::vector<size_t>> ParseReadPlan(std::string_view text) {
  std::vector<size_t> plan;
  for (;;) {
    size_t comma = text.find(',');
    std::string_view field = text.substr(0, comma);
    size_t size = 0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), size);
    if (field.empty() || error != std::errc() || end != field.data() + field.size() || size == 0) {
      return std::nullopt;
    }
    plan.push_back(size);
    if (comma == std::string_view::npos) return plan;
    text.remove_prefix(comma + 1);
  }
}

std::shared_ptr<MemoryHost> MemoryHost::FromBytes(std::string body, MemoryHostOptions options) {
  std::shared_ptr<MemoryHost> host(new MemoryHost(std::move(options)));
  host->body_ = std::move(body);
  return host;
}

std::shared_ptr<MemoryHost> MemoryHost::FromStream(std::FILE* stream, std::optional<int64_t> length,
                                                   MemoryHostOptions options) {
  std::shared_ptr<MemoryHost> host(new MemoryHost(std::move(options)));
  host->stream_ = stream;
  host->streamLength_ = length ? length : RemainingInRegularFile(stream);
  return host;
}

MemoryHost::~MemoryHost() {
  // The host owns its stream, except the process's standard input.
  if (stream_ && stream_ != stdin) std::fclose(stream_);
}

int64_t MemoryHost::TotalBytes() {
  if (options_.totalBytes) return *options_.totalBytes;
  if (stream_) return streamLength_.value_or(0);
  return static_cast<int64_t>(body_.size());
}

size_t MemoryHost::BinaryRead(uint8_t* into, size_t count) {
  ++binaryReadCalls_;
  if (count == 0) {
    RaiseRuntimeError(errnum::kInvalidProcedureCall);
  }
  size_t wanted = count;
  if (!options_.readPlan.empty()) wanted = std::min(wanted, options_.readPlan[planIndex_]);

  size_t delivered = 0;
  if (stream_) {
    if (streamAtEnd_) hosterr::RaiseEndOfBody();
    // Straight into the caller's buffer: the stream is never held whole.
    delivered = std::fread(into, 1, wanted, stream_);
    if (delivered == 0) {
      if (std::ferror(stream_)) hosterr::RaiseReadFailed("the body stream could not be read");
      streamAtEnd_ = true;
      hosterr::RaiseEndOfBody();
    }
  } else {
    if (bodyPos_ >= body_.size()) hosterr::RaiseEndOfBody();
    delivered = std::min(wanted, body_.size() - bodyPos_);
    std::memcpy(into, body_.data() + bodyPos_, delivered);
    bodyPos_ += delivered;
  }

  if (!options_.readPlan.empty()) planIndex_ = (planIndex_ + 1) % options_.readPlan.size();
  delivered_ += static_cast<int64_t>(delivered);
  return delivered;
}

void MemoryHost::Write(std::string_view text) { response_.append(text); }

bool MemoryHost::IsClientConnected() {
  return !(options_.disconnectAfter && delivered_ >= *options_.disconnectAfter);
}

}  // namespace parcelmoor
