#pragma once
// The file records as scripts and C hosts read them: one collection per file
// part, in body order, each keyed by name (letter case ignored):
//   Field, ClientPath, FileName, StoredPath   text ("" when nothing is on disk)
//   BytesReceived, BytesStored                 64-bit integers
//   Outcome                                    the hosts' word (FileOutcomeWord)
//   Reason                                     a refusal's plain sentence, or a
//                                              failed file's error text; "" else
// A snapshot: later changes of the records are not seen in it.

#include <memory>
#include <vector>

#include "runtime/collection.h"
#include "storage/file_record.h"

namespace parcelmoor {

// "stored", "cut", "deleted", "failed", "not stored", "no file", "refused":
// the words the hosts' answers use too.
const char* FileOutcomeWord(FileOutcome outcome);

std::shared_ptr<Collection> FileRecordsCollection(const std::vector<FileRecord>& records);

}  // namespace parcelmoor
