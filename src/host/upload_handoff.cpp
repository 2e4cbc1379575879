#include "host/upload_handoff.h"

#include <filesystem>

namespace parcelmoor {
namespace {

// What became of the files once the application failed to take the upload:
// it may have moved some away before it stopped answering.
std::string WhatWasKept(const PageResult& page) {
  int32_t waited = 0;
  for (const FileRecord& file : page.files) waited += file.pendingPath.empty() ? 0 : 1;
  const int32_t taken = FilesTakenByApplication(page);
  if (taken == 0) return "the upload was not kept.";
  return std::to_string(waited - taken) + " of " + std::to_string(waited) +
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

int32_t FilesTakenByApplication(const PageResult& page) {
  int32_t taken = 0;
  for (const FileRecord& file : page.files) {
    std::error_code failed;
    if (!file.pendingPath.empty() && !std::filesystem::exists(file.pendingPath, failed) && !failed) ++taken;
  }
  return taken;
}

PageAnswer HandOffUpload(const PageResult& page, PageAnswer own, const HandoffRequest& request,
                         const ApplicationCall& call, std::string& note, bool& accepted) {
  accepted = false;
  if (own.status / 100 != 2) return own;
  bool json = own.contentType.find("json") != std::string::npos;
  HandoffAnswer app;
  try {
    app = call(request);
  } catch (const std::exception& e) {
    app = HandoffAnswer{.failure = e.what()};
  }
  if (!app.reached) {
    const Unanswered why = WhyUnanswered(app);
    note = why.note;
    return AnswerRefusal(why.status, why.what + WhatWasKept(page), json);
  }
  accepted = app.status / 100 == 2;
  if (!accepted) note = "app-refused";
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
