#pragma once
// The one place where an upload directory's form chooses its stores:
// "s3://BUCKET/PREFIX" is an object store (s3/s3_store.h), anything else a
// local directory (local_store.h); resumable uploads wait in the upload
// directory's private folder, or in a local spool directory named apart
// (resumable/local_resumable_store.h). Hosts ask here rather than read the
// scheme themselves.

#include <memory>
#include <string>

#include "storage/local_store.h"
#include "storage/resumable/local_resumable_store.h"
#include "storage/s3/s3_settings.h"
#include "storage/store.h"

namespace parcelmoor {

struct StoreChoice {
  OnExists onExists = OnExists::kReplace;
  bool sync = false;  // a local directory's
  S3Settings s3;      // an object store's
};

// The store for files in `directory`, never null. An s3:// directory that
// does not read as one (ParseS3Url; the option parser refuses it first)
// gets a local store, in which its files fail to begin (no such directory).
std::shared_ptr<Store> StoreForLocation(const std::string& directory, const StoreChoice& choice);

// The store of the resumable uploads whose files go to `directory`: their
// bytes wait in `spool` when it is not empty, else in the private folder of
// `directory` (a local one: an object store's uploads need a spool).
std::shared_ptr<ResumableStore> ResumableStoreForLocation(const std::string& directory, const std::string& spool,
                                                          const LocalResumableOptions& options);

}  // namespace parcelmoor
