#pragma once
// What became of one file an upload carried, kept beyond the script's view
// for hosts that must say truthfully what was stored: the Form item reports
// only a field's first file and a 32-bit size, these record every file with
// its exact 64-bit sizes and where it ended up.

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/raised_error.h"
#include "storage/file_identity.h"
#include "storage/store_error.h"

namespace parcelmoor {

enum class FileOutcome {
  kStored,     // on disk whole under storedPath
  kCut,        // on disk under storedPath, cut at the size limit
  kDeleted,    // over the size limit and deleted, as configured
  kFailed,     // the file could not be stored: see error
  kNotStored,  // the request stopped before or during the file, or a later
               // file of the same name replaced it; when the all-or-none rule
               // is off, what arrived may still be kept under storedPath
  kNoFile,     // a file input sent without a file: nothing to store
  kRefused,    // the part policy refused it: see refusal, reason, status
  kInfected,   // the virus scanner found a signature in it and it was given
               // up: refusalReason names the signature, refusalStatus is 422
};

struct FileRecord {
  std::string fieldName;
  std::string clientPath;  // as the client sent it
  std::string fileName;    // the name it is stored under in the directory
  std::string storedPath;  // empty: nothing of it is on disk; else its final path
  // Where the file is while it waits for its commit (empty once committed,
  // and when nothing of it is on disk): a host that holds the commit tells
  // an application both paths.
  std::string pendingPath;
  int64_t bytesReceived = 0;
  int64_t bytesStored = 0;
  // The SHA-256 of the bytes kept on disk (64 lowercase hex digits), when
  // the host asked for checksums and the file is stored or cut; else empty.
  std::string sha256;
  FileOutcome outcome = FileOutcome::kNotStored;
  std::optional<RaisedError> error;  // set for kFailed
  StoreError storeError;             // set for kFailed when the store failed: the typed cause
  // kRefused (and kInfected): the policy's word, plain sentence and status.
  std::string refusal;
  std::string refusalReason;
  int refusalStatus = 0;
  // Not stored because a later file of the same name in the same upload
  // took its place.
  bool replacedByLater = false;
  // Which file storedPath names, so that a later clean-up never deletes a
  // file someone else put under that name.
  FileIdentity identity;
};

// The record of a file that is no longer on disk (deleted, withdrawn or
// never committed): nothing of it is stored, whatever it was.
inline void MarkNoLongerStored(FileRecord& record) {
  record.storedPath.clear();
  record.pendingPath.clear();
  record.bytesStored = 0;
  record.sha256.clear();
  if (record.outcome == FileOutcome::kStored || record.outcome == FileOutcome::kCut) {
    record.outcome = FileOutcome::kNotStored;
  }
}

}  // namespace parcelmoor
