#pragma once
// The bytes of a file that arrived whole before any store was asked for it
// (a resumable upload's, received over many requests): what the upload
// object needs from them to take the file in as it takes in a file part.
// The bytes stay where they are until the caller that owns them lets them
// go, so that a store that fails in passing costs the client nothing.

#include <cstdint>
#include <string>
#include <vector>

#include "storage/store.h"

namespace parcelmoor {

class FinishedBytes {
 public:
  virtual ~FinishedBytes() = default;
  // How many bytes the file has.
  virtual int64_t size() const = 0;
  // Its first bytes, at most `count`, for a judgement of its content.
  // Empty when it cannot be read (errno says why).
  virtual std::vector<uint8_t> firstBytes(size_t count) = 0;
  // The SHA-256 (64 lowercase hex digits) of every byte: known already, or
  // read now. "" when it cannot be read.
  virtual std::string sha256() = 0;
  // Begins a file named `fileName` in `directory` of `store` with these
  // bytes, finished and waiting for its commit, as Store::beginFrom does.
  virtual StoreError handOver(Store& store, const std::string& directory, const std::string& fileName,
                              Store::Ticket* ticket, StoreFile* file) = 0;
};

}  // namespace parcelmoor
