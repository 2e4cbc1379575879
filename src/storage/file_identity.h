#pragma once
// Which file a stored name named when it was stored (device, inode and a
// generation), so that a later clean-up deletes only that file, never a
// later file someone else put under the same name. `generation` tells apart
// files that reuse a freed inode number (a file deleted and a new one created
// under its name a moment later).

#include <cstdint>

namespace parcelmoor {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t generation = 0;
  bool operator==(const FileIdentity&) const = default;
};

}  // namespace parcelmoor
