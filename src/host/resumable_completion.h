#pragma once
// What happens when a resumable upload's last byte arrives: the file goes
// through exactly what a file of a multipart upload goes through (the name
// rules and allowed types of the host's part policy, the store with its
// --on-exists and durable commit, the checksum, the virus scan, the hand-off
// to the application) and ends in the same record and the same answer, as
// if it had been the one file of a multipart upload. The file is never
// visible under its final name before the commit.

#include <cstdint>
#include <string>

#include "host/request_policy.h"
#include "host/upload_handoff.h"
#include "host/upload_settings.h"

namespace parcelmoor {

// The finished upload as the client described it.
struct ResumableFile {
  std::string dataPath;     // its bytes, whole; taken by the store (or removed)
  std::string clientPath;   // the metadata's filename, as sent
  std::string contentType;  // the metadata's filetype: a hint only
  int64_t length = 0;
  std::string sha256;  // of its bytes when already known; else read from the file when checksums are on
};

// The application the file is handed to before its commit (empty call: none)
// and what it is told of the completing request.
struct ResumableHandoff {
  ApplicationCall call;
  HandoffRequest client;
};

// The component's directory for a settings' upload directory: trimmed, with
// its one trailing "\".
std::string ComponentDirectoryOf(const std::string& uploadDirectory);
// The name a file is stored under for the client path `clientPath`: its
// last piece, cut at "\" when it has one, else at "/", as for a multipart
// file.
std::string StoredNameOf(const std::string& clientPath);

// Stores (or refuses) the file and answers as a multipart upload of that one
// file would be answered (JSON): 200 with its record, or the status of its
// refusal or failure (415, 409, 422, 503, 507, ...); with a hand-off, the
// application's answer, and the file committed only when it accepts. On
// return nothing of the file is left at dataPath.
UploadAnswer CompleteResumableUpload(const ResumableFile& file, const UploadSettings& settings,
                                     const ResumableHandoff& handoff);

}  // namespace parcelmoor
