// The HTML result page of a page run, bounded as host/answer_limits.h says:
// each text shown up to kShownTextBytes, the lists stopped (and saying so)
// before the page reaches kAnswerBytes.

#include "host/answer_limits.h"
#include "host/client_paths.h"
#include "host/failure_reason.h"
#include "host/page_answer.h"
#include "host/page_runner.h"
#include "runtime/markup_escape.h"

namespace parcelmoor {

std::string HtmlEscape(std::string_view text) { return MarkupEscape(text); }

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

constexpr const char* kResultPageHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    // No icon to fetch: a browser would otherwise ask for /favicon.ico.
    "<link rel=\"icon\" href=\"data:,\">\n"
    "<title>parcelmoor: upload result</title>\n<style>\n"
    "body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 48em; padding: 0 1em; color: #222; }\n"
    "#result-list { padding-left: 1.2em; }\n#result-list li { margin: .3em 0; }\n"
    // Names and values exactly as sent: spaces kept, long ones wrapped
    // rather than widening the page.
    ".name, .value, .why, pre { white-space: pre-wrap; overflow-wrap: anywhere; }\n"
    ".name { font-weight: 600; } .error { color: #a00; } .outcome { color: #555; }\n"
    "</style></head>\n<body>\n<h1>Upload result</h1>\n<div id=\"upload-result\">\n";

constexpr const char* kCutMark = " <i class=\"cut\">(cut)</i>";
constexpr const char* kListCutRow = "<li class=\"cut\"><i>(more not shown)</i></li>\n";

// "2 of 3 files stored": files left on disk whole or cut, of all the body
// carried.
std::string FilesSummary(const PageResult& page) {
  if (page.files.empty()) return "no files";
  return std::to_string(page.filesStored()) + " of " + std::to_string(page.files.size()) +
         (page.files.size() == 1 ? " file stored" : " files stored");
}

// One entry per file: its name, what became of it, and why in plain words.
void AppendFileEntries(std::string& out, const PageResult& page) {
  for (const FileRecord& file : page.files) {
    if (out.size() + kRecordRoom > kAnswerBytes) {
      out += kListCutRow;
      break;
    }
    const std::string why = ReasonFor(file, page);
    out += std::string("<li class=\"file ") + OutcomeName(file.outcome) + "\"><span class=\"name\">" +
           Shown(file.fileName.empty() ? file.clientPath : file.fileName) + "</span> <span class=\"outcome\">(" +
           OutcomeName(file.outcome) + ", " + std::to_string(file.bytesStored) + " of " +
           std::to_string(file.bytesReceived) + " bytes stored; field <span class=\"value\">" + Shown(file.fieldName) +
           "</span>)</span>";
    // Under keep-both or a narrowed directory the name kept differs from
    // the one sent: the client is told it, relative to the upload directory.
    const std::string storedAs = ClientPath(file.storedPath, page.clientPathRoot);
    if (!page.clientPathRoot.empty() && !storedAs.empty() && storedAs != file.fileName) {
      out += "<br><span class=\"stored-as\">stored as " + Shown(storedAs) + "</span>";
    }
    if (!file.sha256.empty()) out += "<br><span class=\"sha256\">SHA-256 " + file.sha256 + "</span>";
    if (!why.empty()) out += "<br><span class=\"why\">" + Shown(why) + "</span>";
    out += "</li>\n";
  }
}

// One entry of a text field: its name and values (a null entry shows
// empty); false when the form's room ran out inside it. A `withheld` item
// shows no value.
bool AppendFieldEntry(std::string& out, const ItemReport& item, bool withheld) {
  bool cut = item.valuesCut || (withheld && !item.values.empty());
  bool whole = true;
  out += "<li class=\"field\"><span class=\"name\">" + Shown(item.name, cut) + "</span>";
  for (size_t v = 0; v < item.values.size() && !withheld; ++v) {
    if (v && out.size() >= kFormListBytes) {
      cut = true;
      whole = false;
      break;
    }
    out += "<br><span class=\"value\">" + (item.values[v] ? Shown(*item.values[v], cut) : std::string()) + "</span>";
  }
  if (cut) out += kCutMark;
  out += "</li>\n";
  return whole;
}

void AppendHeadline(std::string& out, const PageResult& page, const FailureMeaning& meaning) {
  if (meaning.status != 200) {
    out += "<p class=\"error\" id=\"summary\">The upload failed: " + FilesSummary(page) + ".</p>\n";
  } else {
    out += "<p class=\"ok\" id=\"summary\">Received " + std::to_string(page.form.size()) + " item(s); " +
           FilesSummary(page) + ".</p>\n";
  }
  if (!meaning.reason.empty()) {
    out += "<p class=\"why\" id=\"reason\">" + Shown("Why: " + meaning.reason + ".") + "</p>\n";
  }
}

}  // namespace

std::string PageResultToHtml(const PageResult& page) {
  std::string out = kResultPageHead;
  const FailureMeaning meaning = MeaningOf(page);
  AppendHeadline(out, page, meaning);
  const bool lastWithheld = StoppedInLastField(meaning.status, meaning.word);
  // One list: the text fields, then every file the body carried (the form's
  // file items name only a field's first file, so the records stand for them).
  out += "<ul id=\"result-list\">\n";
  bool whole = true;
  for (size_t i = 0; i < page.form.size() && whole; ++i) {
    if (page.form[i].isFile) continue;
    if (out.size() >= kFormListBytes) {
      out += kListCutRow;
      break;
    }
    whole = AppendFieldEntry(out, page.form[i], lastWithheld && i + 1 == page.form.size());
  }
  AppendFileEntries(out, page);
  out += "</ul>\n";
  // The component's own texts (its notice, its errors) speak to scripts,
  // which read them from store --json and the hand-off report: a person
  // is told the plain reason above.
  // An empty reference is the address the form was posted to: the upload page.
  out += "</div>\n<p><a id=\"upload-more\" href=\"\">Upload more files</a></p>\n</body></html>\n";
  return out;
}

}  // namespace parcelmoor
