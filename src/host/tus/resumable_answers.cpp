// Headers, credentials digests and kept reports of resumable uploads.
#include "host/tus/resumable_answers.h"

#include <ctime>
#include <span>

#include "storage/sha256_stream.h"

namespace parcelmoor {

PageAnswer TusAnswer(int status, std::string_view text) {
  PageAnswer answer;
  answer.status = status;
  answer.contentType = "text/plain; charset=utf-8";
  if (!text.empty()) answer.body = std::string(text) + "\n";
  answer.headers.emplace_back("tus-resumable", std::string(kTusVersion));
  return answer;
}

void AddProgressHeaders(PageAnswer& answer, const ResumableState& state) {
  answer.headers.emplace_back("upload-offset", std::to_string(state.offset));
  answer.headers.emplace_back("upload-expires", HttpDateOf(state.expires));
}

std::string HttpDateOf(int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[40];
  const size_t size = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return std::string(text, size);
}

std::string CredentialsDigest(std::string_view credentials) {
  Sha256Stream digest;
  digest.start();
  digest.update(std::span(reinterpret_cast<const uint8_t*>(credentials.data()), credentials.size()));
  return digest.finishHex();
}

// The status, the content type, then the body, one line each before it.
std::string KeepReport(const PageAnswer& answer) {
  return std::to_string(answer.status) + "\n" + answer.contentType + "\n" + answer.body;
}

PageAnswer ParseKeptReport(std::string_view kept) {
  const size_t first = kept.find('\n');
  const size_t second = first == std::string_view::npos ? first : kept.find('\n', first + 1);
  if (second == std::string_view::npos) return TusAnswer(500, "The upload's report is damaged.");
  PageAnswer answer = TusAnswer(std::atoi(std::string(kept.substr(0, first)).c_str()), "");
  answer.contentType = std::string(kept.substr(first + 1, second - first - 1));
  answer.body = std::string(kept.substr(second + 1));
  if (answer.status < 200 || answer.status > 599) return TusAnswer(500, "The upload's report is damaged.");
  return answer;
}

}  // namespace parcelmoor
