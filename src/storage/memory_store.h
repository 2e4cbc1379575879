#pragma once
// A Store that keeps its files in memory, by final name, so that the writer,
// commit and fuzz tests run without a directory. Stores made over one
// MemoryFiles share it as uploads share a directory: a name one of them is
// writing is busy for the others (under OnExists::kReplace, as LocalStore's
// share rule), and commit follows OnExists as LocalStore does. Every
// directory exists and no name is a directory's; the other failures of a
// real store come from a FailingStore around it.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/local_store.h"
#include "storage/store.h"

namespace parcelmoor {

// The files of MemoryStores: committed ones by final name, and the names
// being written.
class MemoryFiles {
 public:
  // Every committed file's bytes, by final name.
  std::map<std::string, std::string> committed() const;
  // Files begun and not yet committed or abandoned, in every store.
  size_t pending() const;
  // Puts a file as an earlier upload would have, replacing one of that name.
  void put(const std::string& path, std::string bytes);

 private:
  friend class MemoryStore;
  struct File {
    std::string bytes;
    FileIdentity identity;
  };
  struct Holder {
    const void* store = nullptr;
    int files = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, File> committed_;
  std::map<std::string, Holder> busy_;  // names held while written under kReplace
  size_t pending_ = 0;
  uint64_t nextInode_ = 1;
};

class MemoryStore final : public Store {
 public:
  explicit MemoryStore(std::shared_ptr<MemoryFiles> files, OnExists onExists = OnExists::kReplace)
      : files_(std::move(files)), onExists_(onExists) {}
  // Abandons every file not yet committed.
  ~MemoryStore() override;

  StoreError begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                   StoreFile* file) override;
  StoreError write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) override;
  StoreError finish(Ticket ticket) override;
  bool abandon(Ticket ticket) noexcept override;
  std::vector<StoreError> commit(std::span<const Ticket> tickets) override;
  std::string finalPath(Ticket ticket) const override { return entries_[ticket].finalPath; }
  bool removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept override;
  // Nothing outlives a writer in memory.
  std::vector<std::string> sweep(const std::string&) override { return {}; }

 private:
  enum class State { kWriting, kFinished, kCommitted, kGone };
  struct Entry {
    std::string finalPath;
    std::string bytes;
    FileIdentity identity;
    bool holdsName = false;
    State state = State::kWriting;
  };

  // Frees the entry's name for other stores. REQUIRES: the mutex held.
  void release(Entry& entry) noexcept;
  // Gives a finished entry its final name as onExists_ says.
  // REQUIRES: the mutex held.
  StoreError giveName(Entry& entry);

  std::shared_ptr<MemoryFiles> files_;
  OnExists onExists_;
  std::vector<Entry> entries_;
};

}  // namespace parcelmoor
