#include "host/page_answer.h"

#include <algorithm>
#include <optional>

#include "host/failure_reason.h"
#include "host/header_weights.h"
#include "host/upload_page.h"
#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

}  // namespace

bool AcceptsJson(std::string_view accept) {
  std::optional<double> json, html;
  ForEachWeighted(accept, [&](std::string_view type, double q) {
    if (EqualsIgnoringAsciiCase(type, "application/json")) json = std::max(json.value_or(0), q);
    if (EqualsIgnoringAsciiCase(type, "text/html")) html = std::max(html.value_or(0), q);
  });
  return json && *json > 0 && *json >= html.value_or(0);
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 303: return "See Other";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 409: return "Conflict";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 507: return "Insufficient Storage";
    default: return "Unknown";
  }
}

PageAnswer AnswerUploadPage(std::string_view limits) {
  std::string page(UploadPageHtml());
  static constexpr std::string_view kMark = "<!--LIMITS-->";
  if (size_t at = page.find(kMark); at != std::string::npos) {
    page.replace(at, kMark.size(), "<p id=\"limits\">" + HtmlEscape(limits) + "</p>");
  }
  return {200, kHtml, std::move(page)};
}

namespace {

// The answer when the full one could not be built: nothing in it grows with
// the request, and it says truthfully what was kept.
PageAnswer ShortPageAnswer(int status, int32_t filesStored, bool json) {
  static constexpr std::string_view kWhy = "The answer could not be built in full; the files stay as filesStored says.";
  PageAnswer answer;
  answer.status = status;
  answer.contentType = json ? kJson : kHtml;
  std::string stored = std::to_string(filesStored);
  if (json) {
    answer.body = "{\"status\":" + std::to_string(status) + ",\"filesStored\":" + stored +
                  ",\"answerCut\":true,\"reason\":\"" + std::string(kWhy) + "\"}\n";
  } else {
    answer.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><link rel=\"icon\" href=\"data:,\">"
                  "<title>Upload result</title></head>\n"
                  "<body><p id=\"summary\">" + stored + " file(s) stored.</p><p>" + std::string(kWhy) +
                  "</p></body></html>\n";
  }
  return answer;
}

}  // namespace

PageAnswer AnswerPageResult(const PageResult& page, bool json) {
  int32_t filesStored = page.filesStored();
  // Files left on disk mean the upload did not fail inside the server.
  int status = filesStored > 0 ? 200 : 500;
  try {
    status = MeaningOf(page).status;
    PageAnswer answer;
    answer.status = status;
    answer.contentType = json ? kJson : kHtml;
    answer.body = json ? PageResultToClientJson(page) + "\n" : PageResultToHtml(page);
    return answer;
  } catch (const std::exception&) {
    return ShortPageAnswer(status, filesStored, json);
  }
}

PageAnswer AnswerRefusal(int status, std::string_view why, bool json) {
  PageAnswer answer;
  answer.status = status;
  std::string title = std::to_string(status) + " " + ReasonPhrase(status);
  if (json) {
    answer.contentType = kJson;
    answer.body = "{\"status\":" + std::to_string(status) + ",\"error\":" + JsonString(why) + "}\n";
  } else {
    answer.contentType = kHtml;
    // No icon to fetch: a browser would otherwise ask for /favicon.ico.
    answer.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><link rel=\"icon\" href=\"data:,\"><title>" + title +
                  "</title></head>\n<body><h1>" + title + "</h1>\n<p>" + HtmlEscape(why) + "</p></body></html>\n";
  }
  return answer;
}

}  // namespace parcelmoor
