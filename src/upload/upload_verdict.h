#pragma once
// What an upload means for the person who sent it: the HTTP status a host
// answers, a plain sentence and a word for the log, worked out from what the
// component recorded. The component's own texts stay as they are (scripts
// may match them); these go beside them. The hosts and the upload object's
// UploadOutcome member both answer from here, so a C host tells what
// `parcelmoor store` tells.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "storage/file_record.h"
#include "storage/store_error.h"

namespace parcelmoor {

struct FailureMeaning {
  int status = 200;    // 400, 413, 422, 500, 502, 504, 507, a refusal's own; 200 when the upload is not failed by it
  std::string reason;  // "the disk is full", ...; empty when there is nothing to say
  std::string word;    // one word for the log: field-too-large, disk-full, ...
};

// An error as raised: its number and text.
struct RaisedFailure {
  int32_t number = 0;
  std::string description;
};

// Everything the verdict is worked out from.
struct UploadFacts {
  std::optional<RaisedFailure> raised;        // what storeUploadedFiles raised
  std::optional<RaisedFailure> releaseError;  // what the object's release raised
  std::optional<std::string> scanFailure;     // why the held files could not be scanned (a host's)
  bool boundaryMismatch = false;              // refused unread by a host's boundary check
  std::optional<RaisedFailure> parseFailure;  // why parsing of the body stopped
  std::span<const FileRecord> files;
  // The all-or-none rule still holds (the body did not arrive whole), so
  // the release will give up every file the records still show stored.
  // False once the records are final (read after the release).
  bool storedFilesGoAtRelease = false;
};

// The meaning of a store's failure, from its cause alone: 507 when the disk
// is full, 502/503/504 when a remote store refused, could not be reached or
// was too slow, else 500.
FailureMeaning MeaningOf(const StoreError& failure);

// The meaning of why parsing stopped. A store failure is told only as such
// here: its cause is in the failed file's record, which VerdictOf reads.
FailureMeaning MeaningOfParseStop(const RaisedFailure& failure);

// The meaning of why parsing stopped, told for a store failure by the record
// of the file that failed; status 200 when parsing did not stop.
FailureMeaning ParseStopOf(const UploadFacts& facts);

// The status and reason of a whole upload: 500 when storeUploadedFiles or
// the release raised; else 503 when the scan gave no verdict; else 400 when
// the body did not begin with its boundary; else the meaning of the parse
// failure when it is one (a store failure by its failed file's cause); else
// the first file that failed (its store's cause) or was refused (the
// policy's status and reason); else 413 when a file over the limit was
// deleted; else 400 when a file was not stored because the request ended
// (or stopped) early; else 200. A file that a later one of the same name
// replaced, that was cut at the limit, or a file field sent without a file,
// does not fail the upload.
FailureMeaning VerdictOf(const UploadFacts& facts);

// How many files the upload leaves stored.
int32_t FilesLeftStored(const UploadFacts& facts);

}  // namespace parcelmoor
