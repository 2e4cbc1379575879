// JSON and HTML renderings of a page's result, bounded as
// host/answer_limits.h says whatever the request carried.

#include "host/answer_limits.h"
#include "host/client_paths.h"
#include "host/failure_reason.h"
#include "host/page_answer.h"
#include "host/page_runner.h"
#include "runtime/base64.h"
#include "upload/file_records_view.h"

namespace parcelmoor {
namespace {

// A text as an answer shows it: at most kShownTextBytes. `cut` is set when
// it was longer.
std::string_view Shown(std::string_view text, bool& cut) {
  std::string_view shown = CutText(text, kShownTextBytes);
  cut = cut || shown.size() < text.size();
  return shown;
}

std::string_view Shown(std::string_view text) {
  bool ignored = false;
  return Shown(text, ignored);
}

std::string JsonError(const std::optional<ErrorReport>& e) {
  if (!e) return "null";
  return "{\"number\":" + std::to_string(e->number) + ",\"source\":" + JsonString(Shown(e->source)) +
         ",\"description\":" + JsonString(Shown(e->description)) + "}";
}

const char* JsonBool(bool b) { return b ? "true" : "false"; }

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(Shown(text)); }

// One file record. Names come from a part's header line, so they are short;
// each goes in twice: as text for people, in Base64 for programs that must
// find the file by its exact bytes.
std::string JsonFileRecord(const FileRecord& file, const PageResult& page, std::string_view clientRoot) {
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
         "\",\"error\":" + JsonError(error) + ",\"reason\":" + JsonOrNull(ReasonFor(file, page)) + "}";
}

// Appends the records while the answer has room; true when some were left
// out.
bool AppendJsonFileRecords(std::string& out, const PageResult& page, std::string_view clientRoot) {
  out += '[';
  bool first = true;
  for (const FileRecord& file : page.files) {
    if (out.size() + kRecordRoom > kAnswerBytes) {
      out += ']';
      return true;
    }
    if (!first) out += ',';
    first = false;
    out += JsonFileRecord(file, page, clientRoot);
  }
  out += ']';
  return false;
}

// Appends one form item; false when the form's room ran out inside it (its
// values listed so far stay, and it says it was cut).
// A `withheld` item lists no value.
bool AppendJsonItem(std::string& out, const ItemReport& item, bool withheld) {
  bool cut = item.valuesCut || (withheld && !item.values.empty());
  bool whole = true;
  out += "{\"name\":" + JsonString(Shown(item.name, cut)) + ",\"values\":[";
  for (size_t v = 0; v < item.values.size() && !withheld; ++v) {
    if (v && out.size() >= kFormListBytes) {
      cut = true;
      whole = false;
      break;
    }
    if (v) out += ',';
    out += item.values[v] ? JsonString(Shown(*item.values[v], cut)) : "null";
  }
  out += "],\"multipleValues\":";
  out += JsonBool(item.multipleValues);
  out += ",\"isFile\":";
  out += JsonBool(item.isFile);
  out += ",\"fileName\":" + JsonString(Shown(item.fileName, cut));
  out += ",\"clientPath\":" + JsonString(Shown(item.clientPath, cut));
  out += ",\"fileSize\":" + std::to_string(item.fileSize);
  out += ",\"valuesCut\":";
  out += JsonBool(cut);
  out += '}';
  return whole;
}

}  // namespace

// Scripts read the same words through FileRecords.
const char* OutcomeName(FileOutcome outcome) { return FileOutcomeWord(outcome); }

std::string PageResultToJson(const PageResult& page, std::string_view clientRoot) {
  std::string out = "{\"result\":";
  out += page.result ? std::to_string(*page.result) : "null";
  out += ",\"error\":" + JsonError(page.error);
  out += ",\"response\":" + JsonString(Shown(page.response));
  out += ",\"uploadAllFilesOrNone\":";
  out += JsonBool(page.uploadAllFilesOrNone);
  out += ",\"form\":[";
  const FailureMeaning meaning = MeaningOf(page);
  const bool lastWithheld = StoppedInLastField(meaning.status, meaning.word);
  size_t listed = 0;
  bool whole = true;
  while (listed < page.form.size() && whole && out.size() < kFormListBytes) {
    if (listed) out += ',';
    whole = AppendJsonItem(out, page.form[listed], lastWithheld && listed + 1 == page.form.size());
    ++listed;
  }
  out += "],\"formCut\":";
  out += JsonBool(listed < page.form.size() || !whole);
  out += ",\"releaseError\":" + JsonError(page.releaseError);
  out += ",\"status\":" + std::to_string(meaning.status);
  out += ",\"filesStored\":" + std::to_string(page.filesStored());
  out += ",\"reason\":" + JsonOrNull(meaning.reason);
  out += ",\"files\":";
  const bool filesCut = AppendJsonFileRecords(out, page, clientRoot);
  out += ",\"filesCut\":";
  out += JsonBool(filesCut);
  out += '}';
  return out;
}

}  // namespace parcelmoor
