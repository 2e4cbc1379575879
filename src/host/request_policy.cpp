#include "host/request_policy.h"

#include <charconv>

namespace parcelmoor {
namespace {

std::optional<int64_t> ParseLength(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

RequestVerdict JudgeRequest(const RequestHead& head, const UploadSettings& settings) {
  RequestVerdict v;
  v.json = AcceptsJson(head.accept);
  auto refuse = [&](int status, std::string_view why) {
    v.answer = AnswerRefusal(status, why, v.json);
    return v;
  };
  if (head.method == "GET" || head.method == "HEAD") {
    v.headOnly = head.method == "HEAD";
    v.answer = AnswerUploadPage();
    return v;
  }
  if (head.method != "POST") {
    v.allow = "GET, HEAD, POST";
    return refuse(405, "The upload page accepts GET, HEAD and POST.");
  }
  if (!head.contentLength) {
    // Without a length a body cut short cannot be told from a whole one.
    return refuse(411, "An upload needs a Content-Length; chunked request bodies are not accepted.");
  }
  std::optional<int64_t> length = ParseLength(*head.contentLength);
  if (!length) return refuse(400, "The Content-Length is not a byte count.");
  if (settings.maxRequestSize && *length > *settings.maxRequestSize) {
    return refuse(413, "The request body is larger than this server accepts (" +
                           std::to_string(*settings.maxRequestSize) + " bytes).");
  }
  v.bodyLength = *length;
  return v;
}

UploadAnswer AnswerUpload(PageResult& page, BodyOutcome outcome, bool json) {
  page.response = std::move(outcome.written);
  UploadAnswer a;
  a.log.bodyBytes = outcome.received;
  a.log.items = static_cast<int64_t>(page.form.size());
  a.log.filesStored = page.filesStored;
  a.log.parseFailure = page.parseFailure;
  a.note = std::move(outcome.note);
  a.answer = AnswerPageResult(page, json);
  return a;
}

}  // namespace parcelmoor
