#pragma once
// The virus scan of an upload (--scan): run by the page runner once the
// body has been read and before any file of it is committed, on the files
// as they wait at their pendingPath. Scanning there rather than while the
// body streams keeps the scanner off the upload's read path and lets one
// failure withhold the whole upload; its cost is a second read of every
// file (from the page cache, usually) and the answer waiting for the scans.

#include <optional>
#include <string>

#include "host/clamd_scan.h"
#include "upload/upload_file.h"

namespace parcelmoor {

// Asks the scanner about each file `upload` holds for its commit, one after
// another. An infected file is given up alone and its record says
// kInfected (refusal "infected", status 422, the signature in its reason);
// the others stay held. When a file gets no verdict, every held file is
// given up and the returned text says why; nullopt when all were judged.
// REQUIRES: the upload holds its commits and its body has been read.
std::optional<std::string> ScanHeldFiles(UploadFile& upload, const ClamdTarget& target);

}  // namespace parcelmoor
