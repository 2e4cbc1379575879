#pragma once
// The file records as scripts and C hosts read them: one collection per file
// part, in body order, each keyed by name (letter case ignored):
//   Field, ClientPath, FileName, StoredPath   text ("" when nothing is on disk)
//   BytesReceived, BytesStored                 64-bit integers
//   Outcome                                    the hosts' word (FileOutcomeWord)
//   Reason                                     FileRecordReason
//   Checksum                                   SHA-256 of the kept bytes, lowercase
//                                              hex ("" when the host asked for none)
// A snapshot: later changes of the records are not seen in it.

#include <memory>
#include <string>
#include <vector>

#include "runtime/collection.h"
#include "storage/file_record.h"
#include "upload/upload_verdict.h"

namespace parcelmoor {

// "stored", "cut", "deleted", "failed", "not stored", "no file", "refused":
// the words the hosts' answers use too.
const char* FileOutcomeWord(FileOutcome outcome);

// Why a file is not stored whole, in the hosts' words; "" for a stored one.
// The hosts say more where the whole upload is known: a failed file's
// cause, and why a file the upload stopped before or inside is not stored.
// Here a failed file gives its error's text.
std::string FileRecordReason(const FileRecord& file);

std::shared_ptr<Collection> FileRecordsCollection(const std::vector<FileRecord>& records);

// The upload's meaning as scripts read it, keyed Status (integer), Reason
// and Word (text), FilesStored (integer).
std::shared_ptr<Collection> UploadOutcomeCollection(const FailureMeaning& meaning, int32_t filesStored);

}  // namespace parcelmoor
