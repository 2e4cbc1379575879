#pragma once
// Where the files of one upload go. The writer begins a file when its part
// starts, writes its bytes as they arrive, finishes it when its part ends
// (then the store holds no descriptor or connection for it), and once the
// whole body has arrived commits every finished file in one call: only then
// does a file appear under its final name, and when commit returns the files
// are as durable as the store promises. A file can be abandoned at any time
// before its commit (its bytes go, its name is free again); a committed file
// can be removed later, only while its name still names it.
//
// The steps map onto a local directory (a private temporary, renamed at
// commit) as onto an object store's multipart upload (begin creates it,
// write buffers and sends parts, finish sends the last, commit completes it,
// abandon aborts it), so the writer never knows which it talks to.
//
// One store serves one upload, on one thread: a name another store is
// writing is refused with kNameBusy. Failures are typed (store_error.h).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "storage/file_identity.h"
#include "storage/store_error.h"

namespace parcelmoor {

// Where a begun file is, and where it will be.
struct StoreFile {
  std::string finalPath;    // the name it gets at commit
  std::string pendingPath;  // where its bytes are until then ("" when nowhere a reader could open)
  FileIdentity identity;    // which file finalPath will name, for removeCommitted
};

class Store {
 public:
  // A begun file, from begin() until abandon() or commit().
  using Ticket = size_t;

  virtual ~Store() = default;

  // Begins a new, empty file to be named `fileName` in `directory` (the
  // component's directory: its trailing "\" is the one separator it adds; the
  // rest is the directory's name, taken literally). Refuses a name that could
  // leave the directory (kNameRefused), is too long (kNameTooLong), names a
  // directory (kIsDirectory), or that another live upload is writing
  // (kNameBusy); then nothing is begun.
  virtual StoreError begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                           StoreFile* file) = 0;
  // Begins a file as begin() does, its bytes those of the finished file at
  // `spoolPath` (a local file the caller wrote and no longer writes), and
  // finishes it: it waits for its commit like any finished file. The spool
  // file stays where it is, whatever happens: the caller removes it once
  // the file is committed, and still has it when a commit fails in passing.
  // This default copies it through begin, write and finish; a store that
  // can share the file as it is (a link on the same file system) does so.
  virtual StoreError beginFrom(const std::string& directory, const std::string& fileName,
                               const std::string& spoolPath, Ticket* ticket, StoreFile* file);
  // Appends `bytes`; `*written` says how many got there, all of them unless
  // an error is returned. REQUIRES: begun, not finished.
  virtual StoreError write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) = 0;
  // The part ended: the file is whole and waits for its commit, holding no
  // descriptor or connection. REQUIRES: begun, not finished.
  virtual StoreError finish(Ticket ticket) = 0;
  // Gives the file up before its commit: its bytes go and its name is free.
  // Returns whether nothing of it is left (what is left, a sweep removes
  // once the upload has ended).
  virtual bool abandon(Ticket ticket) noexcept = 0;
  // Gives each finished file its final name, in order; returns one error per
  // ticket (kNone: committed). What happens to an earlier file of that name
  // is the store's policy (LocalStoreOptions::onExists): replaced in one
  // step, kept while the new file takes a free name (then finalPath() tells
  // which), or kept while the new file is refused with kNameExists. A file
  // that could not be committed is abandoned. When the store syncs, every
  // committed file and its name are durable on return.
  virtual std::vector<StoreError> commit(std::span<const Ticket> tickets) = 0;
  // The name a begun file will get or, once committed, the name it got.
  virtual std::string finalPath(Ticket ticket) const = 0;
  // Removes a committed file, only while `finalPath` still names the file
  // `identity`. Returns whether it is gone.
  virtual bool removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept = 0;
  // Removes what writers that are gone (a crash, a kill) left under
  // `directory`, and nothing else; returns what it removed.
  virtual std::vector<std::string> sweep(const std::string& directory) = 0;
  // The store's own words for its last failure (a remote store's error code
  // and message, or why it could not be reached), for the operator's log;
  // "" when it has none to add to the typed cause.
  virtual std::string lastFailure() const { return {}; }
};

}  // namespace parcelmoor
