#pragma once
// What a failure of an upload means for the person who sent it: the HTTP
// status a host answers and a plain sentence, worked out from the error the
// component recorded. The component's own texts stay as they are (scripts
// may match them); these go beside them on pages, in JSON and in the log.

#include <optional>
#include <string>

#include "host/page_runner.h"

namespace parcelmoor {

struct FailureMeaning {
  int status = 200;    // 400, 413, 500, 507; 200 when the upload is not failed by it
  std::string reason;  // "the disk is full", ...; empty when there is nothing to say
  std::string word;    // one word for the log: field-too-large, disk-full, ...
};

// The meaning of why parsing stopped (PageResult::parseFailure).
FailureMeaning MeaningOf(const ErrorReport& failure);

// The status and reason of a whole page run: 500 when storeUploadedFiles or
// the release raised; else 400 when the body did not begin with its
// boundary; else the meaning of the parse failure when it is one;
// else the first file that failed; else 413 when a file over the limit was
// deleted; else 400 when a file was not stored because the request ended
// (or stopped) early; else 200. A file that a later one of the same name
// replaced, or that was cut at the limit, does not fail the upload.
FailureMeaning MeaningOf(const PageResult& page);

// Why `file` of `page` was not stored whole, in plain words; empty when it
// was.
std::string ReasonFor(const FileRecord& file, const PageResult& page);

}  // namespace parcelmoor
