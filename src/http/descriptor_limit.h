#pragma once
// The open-file limit and how many connections it allows.

#include <cstdint>
#include <optional>
#include <string>

namespace parcelmoor {

struct DescriptorLimit {
  int64_t before = 0;  // the soft limit found at start
  int64_t now = 0;     // the soft limit after raising it
  std::string error;   // why it could not be raised, if it could not
};

// Raises the soft RLIMIT_NOFILE to the hard limit.
DescriptorLimit RaiseDescriptorLimit();

// The connection cap: `requested` (or 10,000 when not given), lowered so
// that connections, answers to refused ones and the files of `maxUploads`
// running uploads fit in `descriptors`. At least 1.
int32_t ConnectionCap(std::optional<int32_t> requested, int64_t descriptors, int32_t maxUploads);

// Descriptors kept for everything but connections: standard streams, the
// listening socket, the event loop, the files of running uploads, and the
// connections being refused with a 503 (the lesser of 256 and an eighth of
// the rest).
int64_t RefusalBudget(int64_t descriptors, int32_t maxUploads);

}  // namespace parcelmoor
