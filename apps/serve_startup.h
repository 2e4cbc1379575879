#pragma once
// What `serve` checks and says before it takes its first request: the
// backends it cannot do without answer, and the start-up line names where
// files go and the policies in force, so that a misconfiguration shows at
// the start rather than at the first upload.

#include <cstdint>
#include <string>

#include "http/http_server.h"

namespace parcelmoor::apps {

// False with `error` (one sentence) when the server must not start: a
// --resumable-dir that cannot be made or written, a --scan scanner that
// does not answer PING, a --metrics-bind or --cors-origin that is malformed.
bool CheckServeStart(HttpServerOptions& options, std::string& error);

// "files to /srv/uploads; files up to 1G, ...": the start-up line's account
// of the storage and the policies; `metricsPort` is the one the metrics
// listener bound.
std::string DescribePolicies(const HttpServerOptions& options, uint16_t metricsPort);

}  // namespace parcelmoor::apps
