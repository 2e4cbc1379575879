#include "host/upload_handoff.h"


namespace parcelmoor {

PageAnswer HandOffUpload(PageAnswer own, const HandoffRequest& request, const ApplicationCall& call,
                         std::string& note, bool& accepted) {
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
    note = app.timedOut ? "app-timeout" : "app-unreachable";
    return AnswerRefusal(app.timedOut ? 504 : 502,
                         app.timedOut ? "The application did not answer in time; the upload was not kept."
                                      : "The application could not be reached; the upload was not kept.",
                         json);
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
