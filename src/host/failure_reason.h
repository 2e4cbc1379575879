#pragma once
// What a failure of an upload means for the person who sent it, read off a
// page run (upload/upload_verdict.h works it out): the HTTP status a host
// answers, a plain sentence and a log word. The component's own texts stay
// as they are (scripts may match them); these go beside them on pages, in
// JSON and in the log.

#include <string>

#include "host/page_runner.h"
#include "upload/upload_verdict.h"

namespace parcelmoor {

// The meaning of why parsing stopped (PageResult::parseFailure). A store
// failure is told only as such here: its cause is in the failed file's
// record, which MeaningOf(PageResult) reads.
FailureMeaning MeaningOf(const ErrorReport& failure);

// The status and reason of a whole page run, as VerdictOf tells them from
// its final records (read after the release). A failed run of several
// files ends its reason with the files kept ("; kept: a.txt") or that none
// was.
FailureMeaning MeaningOf(const PageResult& page);

// Why `file` of `page` was not stored whole, in plain words; empty when it
// was.
std::string ReasonFor(const FileRecord& file, const PageResult& page);

}  // namespace parcelmoor
