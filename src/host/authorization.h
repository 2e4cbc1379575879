#pragma once
// Who may upload, decided before any body byte is read: a bearer token from
// a file (token_file.h), the user's application asked about the request
// (its header only), or both, token first. An application's 2xx lets the
// upload go on, narrowed as its headers say (upload_narrowing.h), and its
// Parcelmoor-Forward-* headers go on to the hand-off; any other answer goes
// to the client as it is. Nothing of the body has been read or stored, and
// no 100 Continue sent, when a request is refused here.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/page_answer.h"
#include "host/token_file.h"
#include "host/upload_handoff.h"
#include "host/upload_settings.h"

namespace parcelmoor {

struct Authorization {
  // Null: no token is asked for.
  std::shared_ptr<TokenFile> tokens;
  // Empty: no application is asked. Called with the client's request
  // (method, target, length, type, Cookie, Authorization, X-Forwarded-For);
  // sends no body. Network failures come back as `reached == false`.
  ApplicationCall ask;
};

struct AuthorizationOutcome {
  // Set: answer this, read nothing and close the connection after it.
  std::optional<PageAnswer> refusal;
  // The settings this upload runs with (narrowed, or as configured).
  UploadSettings settings;
  // Parcelmoor-Forward-* headers for the hand-off (names lower case).
  std::vector<std::pair<std::string, std::string>> forwardHeaders;
  // What the log says: token-missing, token-wrong, token-file-unreadable,
  // auth-refused, auth-unreachable, auth-timeout, auth-bad-answer,
  // auth-request-too-large; empty when the upload goes on.
  std::string note;
};

// Decides on `client`'s upload under `settings`, on the calling thread. A
// refusal of parcelmoor's own is JSON when `json`. Never throws for a
// failing application.
AuthorizationOutcome Authorize(const Authorization& authorization, const HandoffRequest& client,
                               const UploadSettings& settings, bool json);

// The two halves of Authorize, for a host that waits for the application
// without a thread of its own (serve, on its event loop):
// The token's verdict: a 401 refusal, or nullopt to go on.
std::optional<AuthorizationOutcome> CheckToken(TokenFile& tokens, const HandoffRequest& client, bool json);
// What the application's answer (or its absence) means for the upload.
AuthorizationOutcome FollowAnswer(HandoffAnswer app, const HandoffRequest& client, const UploadSettings& settings,
                                  bool json);

}  // namespace parcelmoor
