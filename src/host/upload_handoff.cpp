#include "host/upload_handoff.h"

#include "host/failure_reason.h"
#include "storage/mod_win32.h"

namespace parcelmoor {
namespace {

struct Deleted {
  int32_t deleted = 0;
  int32_t stored = 0;  // files the upload had left on disk
};

// Deletes the files the upload left on disk, each only while its name still
// names the very file the upload wrote.
Deleted DeleteStored(const PageResult& page) {
  Deleted d;
  for (const FileRecord& file : page.files) {
    if (file.storedPath.empty()) continue;
    ++d.stored;
    if (modWin32::FileLayer::Posix().DeleteFileIfIdentity(file.storedPath, file.identity)) ++d.deleted;
  }
  return d;
}

// What became of the files once the application failed to take the upload:
// it may have moved some before it stopped answering.
std::string WhatWasKept(const Deleted& d) {
  if (d.deleted == d.stored) return "the upload was not kept.";
  return std::to_string(d.deleted) + " of " + std::to_string(d.stored) +
         " files were deleted; the application had already taken the others.";
}

struct Unanswered {
  int status;
  const char* note;
  const char* what;
};

Unanswered WhyUnanswered(const HandoffAnswer& app) {
  if (app.timedOut) return {504, "app-timeout", "The application did not answer in time; "};
  if (app.connected) return {502, "app-closed", "The application closed the connection without answering; "};
  return {502, "app-unreachable", "The application could not be reached; "};
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

PageAnswer HandOffUpload(const PageResult& page, PageAnswer own, const HandoffRequest& request,
                         const ApplicationCall& call, std::string& note, int32_t& filesKept) {
  if (own.status / 100 != 2) return own;
  bool json = own.contentType.find("json") != std::string::npos;
  HandoffAnswer app;
  try {
    app = call(request);
  } catch (const std::exception& e) {
    app = HandoffAnswer{.failure = e.what()};
  }
  if (!app.reached) {
    const Deleted deleted = DeleteStored(page);
    filesKept = deleted.stored - deleted.deleted;
    const Unanswered why = WhyUnanswered(app);
    note = why.note;
    return AnswerRefusal(why.status, why.what + WhatWasKept(deleted), json);
  }
  if (app.status / 100 != 2) {
    const Deleted deleted = DeleteStored(page);
    filesKept = deleted.stored - deleted.deleted;
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
