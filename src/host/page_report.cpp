// The JSON renderings of a page's result: a client's answer and an
// application's report, bounded as host/answer_limits.h says whatever the
// request carried, and store's whole listing, bounded by the limits alone.

#include <algorithm>

#include "host/answer_limits.h"
#include "host/client_paths.h"
#include "host/failure_reason.h"
#include "host/page_answer.h"
#include "host/page_runner.h"
#include "runtime/base64.h"
#include "upload/file_records_view.h"

namespace parcelmoor {
namespace {

// How an answer is written: with stored paths relative to `clientRoot`
// (when set) and every text and list cut as host/answer_limits.h says; for
// a web client (`forClient`) without the component's own texts, which
// speak to scripts, not people; or `whole`, store's local listing, which
// cuts nothing and gives the exact bytes of every text that is not UTF-8.
struct JsonView {
  std::string_view clientRoot;
  bool whole = false;
  bool forClient = false;
};

// A text as an answer shows it: at most kShownTextBytes unless whole. `cut`
// is set when it was longer.
std::string_view Shown(std::string_view text, bool& cut, bool whole = false) {
  if (whole) return text;
  std::string_view shown = CutText(text, kShownTextBytes);
  cut = cut || shown.size() < text.size();
  return shown;
}

std::string_view ShownText(std::string_view text, bool whole = false) {
  bool ignored = false;
  return Shown(text, ignored, whole);
}

std::string JsonError(const std::optional<ErrorReport>& e, bool whole = false) {
  if (!e) return "null";
  return "{\"number\":" + std::to_string(e->number) + ",\"source\":" + JsonString(ShownText(e->source, whole)) +
         ",\"description\":" + JsonString(ShownText(e->description, whole)) + "}";
}

// In a whole listing, `,"<member>Base64":"..."` after a text that is not
// UTF-8, so that its bytes can be had back; else nothing.
std::string ExactIfNeeded(std::string_view member, std::string_view text, bool whole) {
  if (!whole || IsValidUtf8(text)) return {};
  return ",\"" + std::string(member) + "Base64\":\"" + Base64Encode(text) + "\"";
}

// In a whole listing, the item's values in Base64 (null for a null entry)
// when any of them is not UTF-8.
std::string ExactValuesIfNeeded(const ItemReport& item, bool whole) {
  if (!whole || std::all_of(item.values.begin(), item.values.end(),
                            [](const auto& v) { return !v || IsValidUtf8(*v); })) {
    return {};
  }
  std::string out = ",\"valuesBase64\":[";
  for (size_t v = 0; v < item.values.size(); ++v) {
    if (v) out += ',';
    out += item.values[v] ? "\"" + Base64Encode(*item.values[v]) + "\"" : std::string("null");
  }
  return out + "]";
}

const char* JsonBool(bool b) { return b ? "true" : "false"; }

std::string JsonOrNull(const std::string& text, bool whole = false) {
  return text.empty() ? "null" : JsonString(ShownText(text, whole));
}

// One file record. Names come from a part's header line, so they are short;
// each goes in twice: as text for people, in Base64 for programs that must
// find the file by its exact bytes.
std::string JsonFileRecord(const FileRecord& file, const PageResult& page, const JsonView& view) {
  const std::string_view clientRoot = view.clientRoot;
  std::optional<ErrorReport> error;
  if (file.error) error = ErrorReport::From(*file.error);
  auto exact = [](const std::string& bytes) { return "\"" + Base64Encode(bytes) + "\""; };
  const std::string storedPath = ClientPath(file.storedPath, clientRoot);
  const std::string pendingPath = clientRoot.empty() ? file.pendingPath : std::string();
  return "{\"field\":" + JsonString(file.fieldName) + ",\"clientPath\":" + JsonString(file.clientPath) +
         ",\"fileName\":" + JsonString(file.fileName) +
         // A path is never cut: applications open it.
         ",\"storedPath\":" + (storedPath.empty() ? std::string("null") : JsonString(storedPath)) +
         ",\"fieldBase64\":" + exact(file.fieldName) + ",\"clientPathBase64\":" + exact(file.clientPath) +
         ",\"fileNameBase64\":" + exact(file.fileName) +
         ",\"storedPathBase64\":" + (storedPath.empty() ? std::string("null") : exact(storedPath)) +
         // Where a file waits until the application accepts it (hand-offs only).
         (pendingPath.empty() ? std::string()
                              : ",\"pendingPath\":" + JsonString(pendingPath) +
                                    ",\"pendingPathBase64\":" + exact(pendingPath)) +
         ",\"bytesReceived\":" + std::to_string(file.bytesReceived) +
         ",\"bytesStored\":" + std::to_string(file.bytesStored) +
         (file.sha256.empty() ? std::string() : ",\"sha256\":\"" + file.sha256 + "\"") +
         ",\"outcome\":\"" + OutcomeName(file.outcome) +
         "\"" + (view.forClient ? std::string() : ",\"error\":" + JsonError(error, view.whole)) +
         ",\"reason\":" + JsonOrNull(ReasonFor(file, page), view.whole) + "}";
}

// Appends the records while the answer has room; true when some were left
// out.
bool AppendJsonFileRecords(std::string& out, const PageResult& page, const JsonView& view) {
  out += '[';
  bool first = true;
  for (const FileRecord& file : page.files) {
    if (!view.whole && out.size() + kRecordRoom > kAnswerBytes) {
      out += ']';
      return true;
    }
    if (!first) out += ',';
    first = false;
    out += JsonFileRecord(file, page, view);
  }
  out += ']';
  return false;
}

// Appends one form item; false when the form's room ran out inside it (its
// values listed so far stay, and it says it was cut).
// A `withheld` item lists no value. A whole listing (`all`) is never cut.
bool AppendJsonItem(std::string& out, const ItemReport& item, bool withheld, bool all) {
  bool cut = item.valuesCut || (withheld && !item.values.empty());
  bool whole = true;
  out += "{\"name\":" + JsonString(Shown(item.name, cut, all)) + ExactIfNeeded("name", item.name, all) +
         ",\"values\":[";
  for (size_t v = 0; v < item.values.size() && !withheld; ++v) {
    if (!all && v && out.size() >= kFormListBytes) {
      cut = true;
      whole = false;
      break;
    }
    if (v) out += ',';
    out += item.values[v] ? JsonString(Shown(*item.values[v], cut, all)) : "null";
  }
  out += "]" + ExactValuesIfNeeded(item, all) + ",\"multipleValues\":";
  out += JsonBool(item.multipleValues);
  out += ",\"isFile\":";
  out += JsonBool(item.isFile);
  out += ",\"fileName\":" + JsonString(Shown(item.fileName, cut, all)) + ExactIfNeeded("fileName", item.fileName, all);
  out += ",\"clientPath\":" + JsonString(Shown(item.clientPath, cut, all)) +
         ExactIfNeeded("clientPath", item.clientPath, all);
  out += ",\"fileSize\":" + std::to_string(item.fileSize);
  out += ",\"valuesCut\":";
  out += JsonBool(cut);
  out += '}';
  return whole;
}

}  // namespace

// Scripts read the same words through FileRecords.
const char* OutcomeName(FileOutcome outcome) { return FileOutcomeWord(outcome); }

namespace {

std::string OrNull(const std::optional<int32_t>& number) { return number ? std::to_string(*number) : "null"; }

std::optional<int32_t> NumberOf(const std::optional<ErrorReport>& e) {
  return e ? std::optional<int32_t>(e->number) : std::nullopt;
}

// What the component told a script, for those who need it: its numbers
// alone (its texts name the calls of another system and carry markup).
std::string JsonComponentNumbers(const PageResult& page) {
  return std::string(",\"component\":{\"result\":") + OrNull(page.result) +
         ",\"uploadAllFilesOrNone\":" + JsonBool(page.uploadAllFilesOrNone) +
         ",\"error\":" + OrNull(NumberOf(page.error)) + ",\"releaseError\":" + OrNull(NumberOf(page.releaseError)) + "}";
}

std::string PageJson(const PageResult& page, const JsonView& view) {
  const bool all = view.whole;
  std::string out = "{";
  if (!view.forClient) {
    out += "\"result\":" + OrNull(page.result);
    out += ",\"error\":" + JsonError(page.error, all);
    out += ",\"response\":" + JsonString(ShownText(page.response, all));
    out += ",\"uploadAllFilesOrNone\":";
    out += JsonBool(page.uploadAllFilesOrNone);
    out += ',';
  }
  out += "\"form\":[";
  const FailureMeaning meaning = MeaningOf(page);
  // The field a request stopped in is withheld from clients; the local
  // listing shows what the component holds of it.
  const bool lastWithheld = !all && StoppedInLastField(meaning.status, meaning.word);
  size_t listed = 0;
  bool whole = true;
  while (listed < page.form.size() && whole && (all || out.size() < kFormListBytes)) {
    if (listed) out += ',';
    whole = AppendJsonItem(out, page.form[listed], lastWithheld && listed + 1 == page.form.size(), all);
    ++listed;
  }
  out += "],\"formCut\":";
  out += JsonBool(listed < page.form.size() || !whole);
  if (!view.forClient) out += ",\"releaseError\":" + JsonError(page.releaseError, all);
  out += ",\"status\":" + std::to_string(meaning.status);
  out += ",\"filesStored\":" + std::to_string(page.filesStored());
  out += ",\"reason\":" + JsonOrNull(meaning.reason, all);
  out += ",\"files\":";
  const bool filesCut = AppendJsonFileRecords(out, page, view);
  out += ",\"filesCut\":";
  out += JsonBool(filesCut);
  if (view.forClient) out += JsonComponentNumbers(page);
  out += '}';
  return out;
}

}  // namespace

std::string PageResultToJson(const PageResult& page, std::string_view clientRoot) {
  return PageJson(page, JsonView{.clientRoot = clientRoot, .whole = false, .forClient = false});
}

std::string PageResultToClientJson(const PageResult& page) {
  return PageJson(page, JsonView{.clientRoot = page.clientPathRoot, .whole = false, .forClient = true});
}

std::string PageResultToWholeJson(const PageResult& page) {
  return PageJson(page, JsonView{.clientRoot = {}, .whole = true, .forClient = false});
}

}  // namespace parcelmoor
