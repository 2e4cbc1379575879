#pragma once
// What a failure of an upload means for the person who sent it: the HTTP
// status a host answers and a plain sentence, worked out from the error the
// component recorded. The component's own texts stay as they are (scripts
// may match them); these go beside them on pages, in JSON and in the log.

#include <optional>
#include <string>

#include "host/page_runner.h"
#include "storage/store_error.h"

namespace parcelmoor {

struct FailureMeaning {
  int status = 200;    // 400, 413, 422, 500, 502, 504, 507, a refusal's own; 200 when the upload is not failed by it
  std::string reason;  // "the disk is full", ...; empty when there is nothing to say
  std::string word;    // one word for the log: field-too-large, disk-full, ...
};

// The meaning of a store's failure, from its cause alone: 507 when the disk
// is full, 502/504 when a remote store was unreachable or too slow, else 500.
FailureMeaning MeaningOf(const StoreError& failure);

// The meaning of why parsing stopped (PageResult::parseFailure). A store
// failure is told only as such here: its cause is in the failed file's
// record, which MeaningOf(PageResult) reads.
FailureMeaning MeaningOf(const ErrorReport& failure);

// The status and reason of a whole page run: 500 when storeUploadedFiles or
// the release raised; else 400 when the body did not begin with its
// boundary; else the meaning of the parse failure when it is one (a store
// failure by its failed file's cause); else the first file that failed (its
// store's cause) or was refused (the policy's status and reason); else 413
// when a file over the limit was deleted; else 400 when a file was not
// stored because the request ended (or stopped) early; else 200. A file that
// a later one of the same name replaced, that was cut at the limit, or a
// file field sent without a file, does not fail the upload.
FailureMeaning MeaningOf(const PageResult& page);

// Why `file` of `page` was not stored whole, in plain words; empty when it
// was.
std::string ReasonFor(const FileRecord& file, const PageResult& page);

}  // namespace parcelmoor
