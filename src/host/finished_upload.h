#pragma once
// A file whose bytes came whole by other means (a resumable upload's last
// byte) is stored exactly as the one file of a multipart upload: the same
// page run takes it in (the part policy and its judgement of the first
// bytes, the record), the same scan, the same hand-off to the application,
// the same commit and the same answer. Nothing of it is written twice.

#include <string>

#include "host/page_answer.h"
#include "host/request_policy.h"
#include "host/upload_handoff.h"
#include "host/upload_settings.h"
#include "upload/upload_file.h"

namespace parcelmoor {

// Stores (or refuses) `file` and answers as a multipart upload of that one
// file would be answered (JSON). `settings` are the upload's own (narrowed
// when it was authorized so); paths told to the client are relative to
// `clientRoot` (host/client_paths.h). `client` is what the application is
// told of the request that brought the last byte, the forwarded headers
// and length included; an empty `handoff` hands nothing over.
UploadAnswer StoreFinishedUpload(const FinishedFile& file, const UploadSettings& settings, const std::string& clientRoot,
                                 const HandoffRequest& client, const ApplicationCall& handoff);

// How a failed completion may end: for good, or kept for the client to
// try again once a passing cause (a name another upload writes, a scanner,
// store or application out of reach, a full disk) has cleared.
enum class CompletionRetry { kNever, kWhenNameFree, kLater };
CompletionRetry RetryOf(const UploadAnswer& answer);

}  // namespace parcelmoor
