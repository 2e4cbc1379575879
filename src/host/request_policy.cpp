#include "host/request_policy.h"

#include <charconv>

#include "host/boundary_check.h"
#include "host/failure_reason.h"
#include "host/free_space.h"
#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

std::optional<int64_t> ParseLength(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// "1 MiB", "1500 bytes": a limit as the page states it.
std::string Bytes(int64_t n) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024 || n % 1024 != 0) return std::to_string(n) + " bytes";
  int unit = -1;
  while (n % 1024 == 0 && n >= 1024 && unit < 3) {
    n /= 1024;
    ++unit;
  }
  return std::to_string(n) + " " + kUnits[unit];
}

std::string LimitsText(const UploadSettings& s) {
  std::string text = "Limits: ";
  text += s.maxFileBytes ? "files up to " + Bytes(*s.maxFileBytes) +
                              (s.deleteOverLimit ? " (larger ones are refused)" : " (larger ones are cut at that size)")
                        : "files of any size";
  text += s.maxFieldBytes.value_or(0) > 0 ? "; text fields up to " + Bytes(*s.maxFieldBytes) : "";
  text += s.maxParts.value_or(0) > 0 ? "; at most " + std::to_string(*s.maxParts) + " fields and files" : "";
  text += s.maxRequestBytes ? "; at most " + Bytes(*s.maxRequestBytes) + " in all" : "";
  return text + ".";
}

}  // namespace

std::string ClientForLog(std::string_view peer, std::string_view forwardedFor, const UploadSettings& settings) {
  std::string_view peerAddress = peer;
  if (peer.starts_with('[')) {
    peerAddress = peer.substr(1, peer.find(']') - 1);
  } else if (peer.find(':') == peer.rfind(':')) {
    peerAddress = peer.substr(0, peer.find(':'));  // IPv4 with a port, or no port
  }
  bool trusted = false;
  for (const std::string& proxy : settings.trustedProxies) trusted = trusted || proxy == peerAddress;
  // The proxy appends the address it received the request from: the last
  // entry is the one a trusted proxy vouches for.
  std::string_view last = TrimAscii(forwardedFor.substr(forwardedFor.rfind(',') + 1));
  if (!trusted || last.empty()) return std::string(peer);
  return std::string(last);
}

RequestVerdict JudgeRequest(const RequestHead& head, const UploadSettings& settings) {
  RequestVerdict v;
  v.json = AcceptsJson(head.accept);
  auto refuse = [&](int status, std::string_view why) {
    v.answer = AnswerRefusal(status, why, v.json);
    return v;
  };
  if (head.method == "GET" || head.method == "HEAD") {
    v.headOnly = head.method == "HEAD";
    v.answer = AnswerUploadPage(LimitsText(settings));
    return v;
  }
  if (head.method != "POST") {
    v.allow = "GET, HEAD, POST";
    return refuse(405, "The upload page accepts GET, HEAD and POST.");
  }
  std::optional<std::string> boundary = FormDataBoundary(head.contentType);
  if (!boundary) return refuse(415, "An upload must be sent as multipart/form-data with a boundary.");
  if (!head.contentLength) {
    // Without a length a body cut short cannot be told from a whole one.
    return refuse(411, "An upload needs a Content-Length; chunked request bodies are not accepted.");
  }
  std::optional<int64_t> length = ParseLength(*head.contentLength);
  if (!length) return refuse(400, "The Content-Length is not a byte count.");
  if (settings.maxRequestBytes && *length > *settings.maxRequestBytes) {
    return refuse(413, "The request body is larger than this server accepts (" +
                           std::to_string(*settings.maxRequestBytes) + " bytes).");
  }
  if (auto full = FreeSpaceRefusal(settings, *length, v.json)) {
    v.answer = std::move(full);
    return v;
  }
  v.bodyLength = *length;
  v.boundary = std::move(*boundary);
  return v;
}

UploadAnswer AnswerUpload(PageResult& page, BodyOutcome outcome, bool json) {
  page.response = std::move(outcome.written);
  UploadAnswer a;
  a.log.bodyBytes = outcome.received;
  a.log.items = static_cast<int64_t>(page.form.size());
  a.log.filesStored = page.filesStored();
  a.log.filesCarried = static_cast<int64_t>(page.files.size());
  a.log.parseFailure = page.parseFailure;
  a.log.outcome = MeaningOf(page).word;
  a.note = std::move(outcome.note);
  // The scanner's whereabouts are for the operator's log, not the client.
  if (page.scanFailure) a.note += (a.note.empty() ? "" : "; ") + *page.scanFailure;
  if (page.storeFailure) a.note += (a.note.empty() ? "" : "; ") + *page.storeFailure;
  a.answer = AnswerPageResult(page, json);
  return a;
}

}  // namespace parcelmoor
