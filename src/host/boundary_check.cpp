#include "host/boundary_check.h"

#include <algorithm>
#include <cstring>

#include "host/host_errors.h"
#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

// A parameter value as sent: a token as it is, a quoted string without its
// quotes and with each quoted pair taken as its second character.
std::optional<std::string> UnquotedValue(std::string_view value) {
  if (!value.starts_with('"')) return std::string(value);
  std::string out;
  for (size_t i = 1; i < value.size(); ++i) {
    if (value[i] == '"') return i + 1 == value.size() ? std::optional(out) : std::nullopt;
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return std::nullopt;  // no closing quote
}

}  // namespace

std::optional<std::string> FormDataBoundary(std::string_view contentType) {
  size_t semi = contentType.find(';');
  if (!EqualsIgnoringAsciiCase(TrimAscii(contentType.substr(0, semi)), "multipart/form-data")) return std::nullopt;
  while (semi != std::string_view::npos) {
    std::string_view rest = contentType.substr(semi + 1);
    semi = rest.find(';');
    std::string_view param = TrimAscii(rest.substr(0, semi));
    size_t eq = param.find('=');
    if (eq != std::string_view::npos && EqualsIgnoringAsciiCase(TrimAscii(param.substr(0, eq)), "boundary")) {
      std::optional<std::string> value = UnquotedValue(TrimAscii(param.substr(eq + 1)));
      if (!value || value->empty()) return std::nullopt;
      return value;
    }
    contentType = rest;
  }
  return std::nullopt;
}

BoundaryCheck::BoundaryCheck(std::shared_ptr<ScriptingContext> wrapped, std::string_view boundary)
    : wrapped_(std::move(wrapped)), request_(wrapped_->Request()), expected_("--" + std::string(boundary)) {}

std::shared_ptr<HostRequest> BoundaryCheck::Request() {
  if (!request_) return nullptr;
  return std::shared_ptr<HostRequest>(shared_from_this(), static_cast<HostRequest*>(this));
}

int64_t BoundaryCheck::TotalBytes() {
  if (!checked_) ReadAhead();
  return mismatch_ ? 0 : request_->TotalBytes();
}

size_t BoundaryCheck::BinaryRead(uint8_t* into, size_t count) {
  if (!checked_) ReadAhead();
  if (mismatch_) hosterr::RaiseEndOfBody();
  if (handed_ < ahead_.size() && count > 0) {
    size_t n = std::min(count, ahead_.size() - handed_);
    std::memcpy(into, ahead_.data() + handed_, n);
    handed_ += n;
    return n;
  }
  if (readFailure_) std::rethrow_exception(readFailure_);
  return request_->BinaryRead(into, count);
}

std::span<const uint8_t> BoundaryCheck::ReadBody(uint8_t* scratch, size_t count) {
  if (checked_ && !mismatch_ && handed_ == ahead_.size() && !readFailure_) return request_->ReadBody(scratch, count);
  return {scratch, BinaryRead(scratch, count)};
}

// Reads no further than the delimiter line, and stops at the first byte
// that cannot belong to it, so a body refused here costs one short read.
void BoundaryCheck::ReadAhead() {
  checked_ = true;
  const size_t want = expected_.size() + 2;
  // Whether the bytes read so far can begin "--boundary" CR LF or "--boundary--".
  auto canBegin = [&](std::string_view seen) {
    std::string_view head = seen.substr(0, expected_.size());
    if (head != std::string_view(expected_).substr(0, head.size())) return false;
    std::string_view end = seen.substr(head.size());
    return std::string_view("\r\n").starts_with(end) || std::string_view("--").starts_with(end);
  };
  if (request_->TotalBytes() < static_cast<int64_t>(want)) {
    mismatch_ = true;
    return;
  }
  ahead_.resize(want);
  size_t got = 0;
  try {
    while (got < want && canBegin(std::string_view(ahead_).substr(0, got))) {
      size_t n = request_->BinaryRead(reinterpret_cast<uint8_t*>(ahead_.data()) + got, want - got);
      if (n == 0) break;
      got += n;
    }
  } catch (...) {
    readFailure_ = std::current_exception();
  }
  ahead_.resize(got);
  mismatch_ = !canBegin(ahead_) || (got < want && !readFailure_);
}

PageResult RunCheckedUploadPage(const std::shared_ptr<ScriptingContext>& host, std::string_view boundary,
                                const UploadSettings& settings, const CommitDecision& decide) {
  auto checked = std::make_shared<BoundaryCheck>(host, boundary);
  CommitDecision checkedDecide;
  if (decide) {
    checkedDecide = [&](PageResult& provisional) {
      provisional.boundaryMismatch = checked->mismatch();
      return decide(provisional);
    };
  }
  PageResult page = RunUploadPage(checked, settings, checkedDecide);
  page.boundaryMismatch = checked->mismatch();
  return page;
}

}  // namespace parcelmoor
