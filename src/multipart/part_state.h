#pragma once
// The part state machine's states, named after the place in a part.

#include <cstdint>

namespace parcelmoor {

enum PartState : int32_t {
  kNoHeaderYet = 0,        // no header of the part recognised yet, or its content is running
  kAfterDelimiter = 1,     // a delimiter line has just been seen
  kAfterDisposition = 2,   // a Content-Disposition line has been seen
  kAfterContentType = 3,   // a Content-Type line has been seen
};

}  // namespace parcelmoor
