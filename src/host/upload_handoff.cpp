#include "host/upload_handoff.h"

#include <unistd.h>

namespace parcelmoor {
namespace {

// The files the page reports as stored. A stored name never holds a path
// separator; anything else is not ours to delete.
std::vector<std::string> StoredPaths(const PageResult& page, const std::string& uploadDirectory) {
  std::vector<std::string> paths;
  std::string dir = uploadDirectory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  for (const ItemReport& item : page.form) {
    if (!item.isFile || item.fileName.empty()) continue;
    if (item.fileName.find('/') != std::string::npos || item.fileName == "." || item.fileName == "..") continue;
    paths.push_back(dir + item.fileName);
  }
  return paths;
}

void DeleteStored(const PageResult& page, const std::string& uploadDirectory) {
  for (const std::string& path : StoredPaths(page, uploadDirectory)) unlink(path.c_str());
}

}  // namespace

PageAnswer HandOffUpload(const PageResult& page, const std::string& uploadDirectory, PageAnswer own,
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
    DeleteStored(page, uploadDirectory);
    note = app.timedOut ? "app-timeout" : "app-unreachable";
    return AnswerRefusal(app.timedOut ? 504 : 502,
                         app.timedOut ? "The application did not answer in time; the upload was not kept."
                                      : "The application could not be reached; the upload was not kept.",
                         json);
  }
  if (app.status / 100 != 2) {
    DeleteStored(page, uploadDirectory);
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
