#include "host/authorization.h"

#include <exception>

#include "host/upload_narrowing.h"

namespace parcelmoor {
namespace {

constexpr std::string_view kForwardPrefix = "parcelmoor-forward-";

AuthorizationOutcome Refused(PageAnswer answer, std::string note) {
  AuthorizationOutcome out;
  out.refusal = std::move(answer);
  out.note = std::move(note);
  return out;
}

// The application's refusal as the client gets it: its status and body,
// and of its headers only those that tell the client how to authenticate
// or where to go.
PageAnswer PassRefusal(HandoffAnswer app) {
  PageAnswer answer{.status = app.status, .contentType = "text/plain; charset=utf-8", .body = std::move(app.body)};
  for (auto& [name, value] : app.headers) {
    if (name == "content-type") {
      answer.contentType = std::move(value);
    } else if (name == "www-authenticate" || name == "location") {
      answer.headers.emplace_back(std::move(name), std::move(value));
    }
  }
  return answer;
}

AuthorizationOutcome BadAnswer(const std::string& why, bool json) {
  return Refused(AnswerRefusal(502, "The application's answer cannot be followed: " + why + ".", json),
                 "auth-bad-answer");
}

HandoffAnswer Ask(const ApplicationCall& ask, const HandoffRequest& client) {
  try {
    return ask(client);
  } catch (const std::exception& e) {
    return HandoffAnswer{.failure = e.what()};
  }
}

}  // namespace

std::optional<AuthorizationOutcome> CheckToken(TokenFile& tokens, const HandoffRequest& client, bool json) {
  TokenFile::Verdict verdict = tokens.Check(client.authorization);
  if (verdict == TokenFile::Verdict::kAccepted) return std::nullopt;
  PageAnswer answer = AnswerRefusal(401, "A valid bearer token is needed to upload here.", json);
  answer.headers.emplace_back("www-authenticate", "Bearer");
  return Refused(std::move(answer), TokenFile::LogWord(verdict));
}

AuthorizationOutcome FollowAnswer(HandoffAnswer app, const HandoffRequest& client, const UploadSettings& settings,
                                  bool json) {
  if (!app.reached) {
    return app.timedOut
               ? Refused(AnswerRefusal(504, "The application did not say in time whether this upload may go on.", json),
                         "auth-timeout")
               : Refused(AnswerRefusal(503, "The application that authorizes uploads cannot be reached.", json),
                         "auth-unreachable");
  }
  if (app.status / 100 != 2) return Refused(PassRefusal(std::move(app)), "auth-refused");

  AuthorizationOutcome out;
  out.settings = settings;
  std::string why;
  if (!NarrowLimits(app.headers, out.settings, why)) return BadAnswer(why, json);
  if (out.settings.maxRequestBytes && client.contentLength > *out.settings.maxRequestBytes) {
    return Refused(AnswerRefusal(413, "The request body is larger than this upload may be.", json),
                   "auth-request-too-large");
  }
  // The directory last: nothing is created for an upload refused above.
  if (!NarrowDirectory(app.headers, out.settings, why)) return BadAnswer(why, json);
  for (auto& [name, value] : app.headers) {
    if (name.size() > kForwardPrefix.size() && name.starts_with(kForwardPrefix)) {
      out.forwardHeaders.emplace_back(name, value);
    }
  }
  return out;
}

AuthorizationOutcome Authorize(const Authorization& authorization, const HandoffRequest& client,
                               const UploadSettings& settings, bool json) {
  if (authorization.tokens) {
    if (auto refused = CheckToken(*authorization.tokens, client, json)) return *std::move(refused);
  }
  if (!authorization.ask) {
    AuthorizationOutcome out;
    out.settings = settings;
    return out;
  }
  return FollowAnswer(Ask(authorization.ask, client), client, settings, json);
}

}  // namespace parcelmoor
