#include "host/upload_handoff.h"

#include "host/failure_reason.h"
#include "storage/mod_win32.h"

namespace parcelmoor {
namespace {

// Deletes the files the upload left on disk, each only while its name still
// names the very file the upload wrote.
void DeleteStored(const PageResult& page) {
  for (const FileRecord& file : page.files) {
    if (!file.storedPath.empty()) {
      modWin32::FileLayer::Posix().DeleteFileIfIdentity(file.storedPath, file.identity);
    }
  }
}

}  // namespace

void WithdrawFailedUpload(PageResult& page) {
  if (MeaningOf(page).status / 100 == 2) return;
  DeleteStored(page);
  for (size_t i = 0; i < page.files.size(); ++i) {
    FileRecord& file = page.files[i];
    if (file.storedPath.empty()) continue;
    file.storedPath.clear();
    file.bytesStored = 0;
    if (file.outcome == FileOutcome::kStored || file.outcome == FileOutcome::kCut) {
      file.outcome = FileOutcome::kNotStored;
    }
    page.withdrawnFiles.resize(page.files.size());
    page.withdrawnFiles[i] = true;
  }
}

PageAnswer HandOffUpload(const PageResult& page, PageAnswer own,
                         const HandoffRequest& request, const ApplicationCall& call, std::string& note) {
  if (own.status / 100 != 2) return own;
  bool json = own.contentType.find("json") != std::string::npos;
  HandoffAnswer app;
  try {
    app = call(request);
  } catch (const std::exception& e) {
    app = HandoffAnswer{.failure = e.what()};
  }
  if (!app.reached) {
    DeleteStored(page);
    note = app.timedOut ? "app-timeout" : "app-unreachable";
    return AnswerRefusal(app.timedOut ? 504 : 502,
                         app.timedOut ? "The application did not answer in time; the upload was not kept."
                                      : "The application could not be reached; the upload was not kept.",
                         json);
  }
  if (app.status / 100 != 2) {
    DeleteStored(page);
    note = "app-refused";
  }
  PageAnswer answer{.status = app.status, .contentType = "text/plain; charset=utf-8", .body = std::move(app.body)};
  for (auto& [name, value] : app.headers) {
    if (name == "content-type") {
      answer.contentType = std::move(value);
    } else {
      answer.headers.emplace_back(std::move(name), std::move(value));
    }
  }
  return answer;
}

}  // namespace parcelmoor
