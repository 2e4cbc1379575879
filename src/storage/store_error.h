#pragma once
// Why a store could not begin, write or commit a file, as a typed cause with
// the system's error number: the component builds its script-visible numbers
// and texts from it, and the hosts choose a status and a plain reason from it
// without reading any text.

#include <cstdint>

namespace parcelmoor {

enum class StoreCause {
  kNone,
  kNoDirectory,   // the upload directory (or prefix) does not exist
  kNotWritable,   // it exists but may not be written to (permissions, read-only)
  kNameRefused,   // the name could leave the directory, or the store refuses it
  kNameTooLong,   // the name or the path is longer than the store allows
  kIsDirectory,   // the name is taken by a directory
  kNameBusy,      // another live upload writes a file of that name
  kNameExists,    // the final name is taken and the store may not replace it
  kDiskFull,      // no room for the bytes (disk, quota, file size limit)
  kTooManyFiles,  // out of descriptors
  kRefused,       // a remote store answered with a refusal of its own
  kUnreachable,   // a remote store could not be reached
  kTimedOut,      // a remote store did not answer in time
  kIo,            // any other failure of the store
};

struct StoreError {
  StoreCause cause = StoreCause::kNone;
  int systemError = 0;  // errno, or 0 when there is none
  explicit operator bool() const { return cause != StoreCause::kNone; }
  bool operator==(const StoreError&) const = default;
};

// The cause a failed local file call's errno stands for.
StoreError StoreErrorFromErrno(int err);

}  // namespace parcelmoor
