// The HTML result page of a page run, bounded as host/answer_limits.h says:
// each text shown up to kShownTextBytes, the lists stopped (and saying so)
// before the page reaches kAnswerBytes.

#include "host/answer_limits.h"
#include "host/failure_reason.h"
#include "host/page_answer.h"
#include "host/page_runner.h"

namespace parcelmoor {

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

// A text cut to what answers show, escaped; `cut` set when it was longer.
std::string Shown(std::string_view text, bool& cut) {
  std::string_view shown = CutText(text, kShownTextBytes);
  cut = cut || shown.size() < text.size();
  return HtmlEscape(shown);
}

std::string Shown(std::string_view text) {
  bool ignored = false;
  return Shown(text, ignored);
}

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

constexpr const char* kCutMark = " <i class=\"cut\">(cut)</i>";
constexpr const char* kListCutRow = "<tr class=\"cut\"><td colspan=\"5\"><i>(more not shown)</i></td></tr>\n";

// "2 of 3 files stored": files left on disk whole or cut, of all the body
// carried.
std::string FilesSummary(const PageResult& page) {
  if (page.files.empty()) return "no files";
  return std::to_string(page.filesStored()) + " of " + std::to_string(page.files.size()) +
         (page.files.size() == 1 ? " file stored" : " files stored");
}

void AppendFilesTable(std::string& out, const PageResult& page) {
  out += "<table id=\"files\">\n<tr><th>File</th><th>Field</th><th>Outcome</th><th>Bytes stored</th><th>Why</th></tr>\n";
  for (const FileRecord& file : page.files) {
    if (out.size() + kRecordRoom > kAnswerBytes) {
      out += kListCutRow;
      break;
    }
    out += "<tr><td>" + Shown(file.fileName) + "</td><td>" + Shown(file.fieldName) + "</td><td>" +
           OutcomeName(file.outcome) + "</td><td>" + std::to_string(file.bytesStored) + " of " +
           std::to_string(file.bytesReceived) + "</td><td>" + Shown(ReasonFor(file, page)) + "</td></tr>\n";
  }
  out += "</table>\n";
}

// One row of the form's table; false when the form's room ran out inside it.
// A `withheld` item shows no value.
bool AppendItemRow(std::string& out, const ItemReport& item, bool withheld) {
  bool cut = item.valuesCut || (withheld && !item.values.empty());
  bool whole = true;
  out += "<tr><td>" + Shown(item.name, cut) + "</td><td>";
  for (size_t v = 0; v < item.values.size() && !withheld; ++v) {
    if (v && out.size() >= kFormListBytes) {
      cut = true;
      whole = false;
      break;
    }
    if (v) out += "<br>";
    out += item.values[v] ? Shown(*item.values[v], cut) : "<i>null</i>";
  }
  if (cut) out += kCutMark;
  out += "</td><td>" + Shown(item.fileName) + "</td><td>" + Shown(item.clientPath) + "</td><td>";
  out += item.isFile ? std::to_string(item.fileSize) : "";
  out += "</td></tr>\n";
  return whole;
}

void AppendHeadline(std::string& out, const PageResult& page, const FailureMeaning& meaning) {
  if (page.error) {
    out += "<p class=\"error\">Error " + std::to_string(page.error->number) + " (" + Shown(page.error->source) +
           "): " + Shown(page.error->description) + "</p>\n";
  } else if (meaning.status != 200) {
    out += "<p class=\"error\" id=\"summary\">The upload failed: " + FilesSummary(page) + ".</p>\n";
  } else {
    out += "<p class=\"ok\" id=\"summary\">Received " + std::to_string(page.form.size()) + " item(s); " +
           FilesSummary(page) + ".</p>\n";
  }
  if (!meaning.reason.empty()) out += "<p class=\"reason\" id=\"reason\">" + Shown("Why: " + meaning.reason + ".") + "</p>\n";
  if (!page.response.empty()) out += "<p class=\"notice\">" + Shown(NoticeText(page.response)) + "</p>\n";
  if (page.releaseError) {
    out += "<p class=\"error\">Release error " + std::to_string(page.releaseError->number) + " (" +
           Shown(page.releaseError->source) + "): " + Shown(page.releaseError->description) + "</p>\n";
  }
}

}  // namespace

std::string PageResultToHtml(const PageResult& page) {
  std::string out = kResultPageHead;
  const FailureMeaning meaning = MeaningOf(page);
  AppendHeadline(out, page, meaning);
  const bool lastWithheld = StoppedInLastField(meaning.status, meaning.word);
  out += "<table>\n<tr><th>Name</th><th>Values</th><th>File name</th><th>Client path</th><th>Size</th></tr>\n";
  bool whole = true;
  for (size_t i = 0; i < page.form.size() && whole; ++i) {
    if (out.size() >= kFormListBytes) {
      out += kListCutRow;
      break;
    }
    whole = AppendItemRow(out, page.form[i], lastWithheld && i + 1 == page.form.size());
  }
  out += "</table>\n";
  if (!page.files.empty()) AppendFilesTable(out, page);
  // An empty reference is the address the form was posted to: the upload page.
  out += "</div>\n<p><a id=\"upload-more\" href=\"\">Upload more files</a></p>\n</body></html>\n";
  return out;
}

}  // namespace parcelmoor
