#pragma once
// The finished bytes of a local file (a resumable upload's data file),
// handed to any store: a local store shares the file, others copy it.

#include <string>
#include <vector>

#include "storage/finished_bytes.h"

namespace parcelmoor {

class SpoolBytes final : public FinishedBytes {
 public:
  // `sha256`: the digest of every byte when already known, else "".
  SpoolBytes(std::string path, int64_t size, std::string sha256)
      : path_(std::move(path)), size_(size), sha256_(std::move(sha256)) {}
  int64_t size() const override { return size_; }
  std::vector<uint8_t> firstBytes(size_t count) override;
  std::string sha256() override;
  StoreError handOver(Store& store, const std::string& directory, const std::string& fileName, Store::Ticket* ticket,
                      StoreFile* file) override;

 private:
  std::string path_;
  int64_t size_;
  std::string sha256_;
};

}  // namespace parcelmoor
