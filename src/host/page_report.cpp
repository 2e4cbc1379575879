// JSON and HTML renderings of a page's result.

#include <cstdio>

#include "host/failure_reason.h"
#include "host/page_runner.h"

namespace parcelmoor {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the byte there does
// not start one.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return k < s.size() && byte(k) >= lo && byte(k) <= hi;
  };
  unsigned char b = byte(i);
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return cont(i + 1) ? 2 : 0;
  if (b == 0xE0) return cont(i + 1, 0xA0) && cont(i + 2) ? 3 : 0;
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return cont(i + 1) && cont(i + 2) ? 3 : 0;
  if (b == 0xED) return cont(i + 1, 0x80, 0x9F) && cont(i + 2) ? 3 : 0;
  if (b == 0xF0) return cont(i + 1, 0x90) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (b >= 0xF1 && b <= 0xF3) return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (b == 0xF4) return cont(i + 1, 0x80, 0x8F) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  return 0;
}

void AppendEscape(std::string& out, unsigned code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", code);
  out += buf;
}

std::string JsonError(const std::optional<ErrorReport>& e) {
  if (!e) return "null";
  return "{\"number\":" + std::to_string(e->number) + ",\"source\":" + JsonString(e->source) +
         ",\"description\":" + JsonString(e->description) + "}";
}

const char* JsonBool(bool b) { return b ? "true" : "false"; }

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

const char* OutcomeName(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kStored: return "stored";
    case FileOutcome::kCut: return "cut";
    case FileOutcome::kDeleted: return "deleted";
    case FileOutcome::kFailed: return "failed";
    case FileOutcome::kNotStored: break;
  }
  return "not stored";
}

std::string JsonFileRecords(const PageResult& page) {
  std::string out = "[";
  for (const FileRecord& file : page.files) {
    if (out.size() > 1) out += ',';
    std::optional<ErrorReport> error;
    if (file.error) error = ErrorReport::From(*file.error);
    out += "{\"field\":" + JsonString(file.fieldName) + ",\"clientPath\":" + JsonString(file.clientPath) +
           ",\"fileName\":" + JsonString(file.fileName) + ",\"storedPath\":" + JsonOrNull(file.storedPath) +
           ",\"bytesReceived\":" + std::to_string(file.bytesReceived) +
           ",\"bytesStored\":" + std::to_string(file.bytesStored) + ",\"outcome\":\"" + OutcomeName(file.outcome) +
           "\",\"error\":" + JsonError(error) + ",\"reason\":" + JsonOrNull(ReasonFor(file, page)) + "}";
  }
  return out + "]";
}

// Bytes that go into a JSON string as they are: printable ASCII but the
// quote and the backslash.
bool IsPlainJsonByte(char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

}  // namespace

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  for (size_t i = 0; i < bytes.size();) {
    // Runs of plain bytes, most texts whole, are appended at once.
    size_t plain = i;
    while (plain < bytes.size() && IsPlainJsonByte(bytes[plain])) ++plain;
    if (plain > i) {
      out.append(bytes.substr(i, plain - i));
      i = plain;
      continue;
    }
    size_t len = Utf8SequenceLength(bytes, i);
    if (len == 0) {
      // A byte outside valid UTF-8 keeps its value through the low surrogate
      // range, so a reader gets the exact bytes back.
      AppendEscape(out, 0xDC00u + static_cast<unsigned char>(bytes[i]));
      ++i;
      continue;
    }
    if (len == 1) {
      char c = bytes[i];
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            AppendEscape(out, static_cast<unsigned char>(c));
          } else {
            out += c;
          }
      }
    } else {
      out.append(bytes.substr(i, len));
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string PageResultToJson(const PageResult& page) {
  std::string out = "{\"result\":";
  out += page.result ? std::to_string(*page.result) : "null";
  out += ",\"error\":" + JsonError(page.error);
  out += ",\"response\":" + JsonString(page.response);
  out += ",\"uploadAllFilesOrNone\":";
  out += JsonBool(page.uploadAllFilesOrNone);
  out += ",\"form\":[";
  for (size_t i = 0; i < page.form.size(); ++i) {
    const ItemReport& item = page.form[i];
    if (i) out += ',';
    out += "{\"name\":" + JsonString(item.name) + ",\"values\":[";
    for (size_t v = 0; v < item.values.size(); ++v) {
      if (v) out += ',';
      out += item.values[v] ? JsonString(*item.values[v]) : "null";
    }
    out += "],\"multipleValues\":";
    out += JsonBool(item.multipleValues);
    out += ",\"isFile\":";
    out += JsonBool(item.isFile);
    out += ",\"fileName\":" + JsonString(item.fileName);
    out += ",\"clientPath\":" + JsonString(item.clientPath);
    out += ",\"fileSize\":" + std::to_string(item.fileSize) + "}";
  }
  const FailureMeaning meaning = MeaningOf(page);
  out += "],\"releaseError\":" + JsonError(page.releaseError);
  out += ",\"status\":" + std::to_string(meaning.status);
  out += ",\"filesStored\":" + std::to_string(page.filesStored());
  out += ",\"reason\":" + JsonOrNull(meaning.reason);
  out += ",\"files\":" + JsonFileRecords(page) + "}";
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

// The component writes its notices as HTML for the client. Shown as text:
// line breaks kept, tags dropped, so nothing reflected in it becomes markup.
std::string NoticeText(std::string_view html) {
  std::string text;
  for (size_t i = 0; i < html.size(); ++i) {
    if (html[i] != '<') {
      text += html[i];
      continue;
    }
    size_t close = html.find('>', i);
    if (close == std::string_view::npos) break;
    std::string_view tag = html.substr(i + 1, close - i - 1);
    if (tag.starts_with("br") || tag.starts_with("BR")) text += '\n';
    i = close;
  }
  size_t first = text.find_first_not_of("\n ");
  return first == std::string::npos ? std::string() : text.substr(first);
}

constexpr const char* kResultPageHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<title>parcelmoor: upload result</title>\n<style>\n"
    "body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 48em; padding: 0 1em; color: #222; }\n"
    "table { border-collapse: collapse; margin-top: .5em; }\n"
    "th, td { border: 1px solid #bbb; padding: .25em .6em; text-align: left; vertical-align: top; }\n"
    ".error { color: #a00; } .notice { color: #850; white-space: pre-wrap; }\n"
    "</style></head>\n<body>\n<h1>Upload result</h1>\n<div id=\"upload-result\">\n";

// "2 of 3 files stored": files left on disk whole or cut, of all the body
// carried.
std::string FilesSummary(const PageResult& page) {
  if (page.files.empty()) return "no files";
  return std::to_string(page.filesStored()) + " of " + std::to_string(page.files.size()) +
         (page.files.size() == 1 ? " file stored" : " files stored");
}

std::string FilesTable(const PageResult& page) {
  std::string out =
      "<table id=\"files\">\n<tr><th>File</th><th>Field</th><th>Outcome</th><th>Bytes stored</th><th>Why</th></tr>\n";
  for (const FileRecord& file : page.files) {
    out += "<tr><td>" + HtmlEscape(file.fileName) + "</td><td>" + HtmlEscape(file.fieldName) + "</td><td>" +
           OutcomeName(file.outcome) + "</td><td>" + std::to_string(file.bytesStored) + " of " +
           std::to_string(file.bytesReceived) + "</td><td>" + HtmlEscape(ReasonFor(file, page)) + "</td></tr>\n";
  }
  return out + "</table>\n";
}

}  // namespace

std::string PageResultToHtml(const PageResult& page) {
  std::string out = kResultPageHead;
  if (page.error) {
    out += "<p class=\"error\">Error " + std::to_string(page.error->number) + " (" +
           HtmlEscape(page.error->source) + "): " + HtmlEscape(page.error->description) + "</p>\n";
  } else if (MeaningOf(page).status != 200) {
    out += "<p class=\"error\" id=\"summary\">The upload failed: " + FilesSummary(page) + ".</p>\n";
  } else {
    out += "<p class=\"ok\" id=\"summary\">Received " + std::to_string(page.form.size()) + " item(s); " +
           FilesSummary(page) + ".</p>\n";
  }
  if (const FailureMeaning m = MeaningOf(page); !m.reason.empty()) {
    out += "<p class=\"reason\" id=\"reason\">" + HtmlEscape("Why: " + m.reason + ".") + "</p>\n";
  }
  if (!page.response.empty()) out += "<p class=\"notice\">" + HtmlEscape(NoticeText(page.response)) + "</p>\n";
  if (page.releaseError) {
    out += "<p class=\"error\">Release error " + std::to_string(page.releaseError->number) + " (" +
           HtmlEscape(page.releaseError->source) + "): " + HtmlEscape(page.releaseError->description) +
           "</p>\n";
  }
  out +=
      "<table>\n<tr><th>Name</th><th>Values</th><th>File name</th><th>Client path</th><th>Size</th></tr>\n";
  for (const ItemReport& item : page.form) {
    out += "<tr><td>" + HtmlEscape(item.name) + "</td><td>";
    for (size_t v = 0; v < item.values.size(); ++v) {
      if (v) out += "<br>";
      out += item.values[v] ? HtmlEscape(*item.values[v]) : "<i>null</i>";
    }
    out += "</td><td>" + HtmlEscape(item.fileName) + "</td><td>" + HtmlEscape(item.clientPath) + "</td><td>";
    out += item.isFile ? std::to_string(item.fileSize) : "";
    out += "</td></tr>\n";
  }
  out += "</table>\n";
  if (!page.files.empty()) out += FilesTable(page);
  // An empty reference is the address the form was posted to: the upload page.
  out += "</div>\n<p><a id=\"upload-more\" href=\"\">Upload more files</a></p>\n</body></html>\n";
  return out;
}

}  // namespace parcelmoor
