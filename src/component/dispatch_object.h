#pragma once
// The C face (QeltDispatch) of the library's own objects. One object has one
// C pointer for as long as any C reference to it exists, so hosts can compare
// pointers. Releasing the last C reference drops the library's reference
// through the dispatch layer (an upload object's termination); an error it
// raises is kept for the releasing thread.

#include <optional>

#include "component/server_abi.h"
#include "runtime/object.h"
#include "runtime/raised_error.h"

namespace parcelmoor {

// The one C pointer of `object`, with a new reference. REQUIRES: `object` is
// not a host's object. Throws std::bad_alloc.
QeltDispatch* DispatchFor(const ObjectRef& object);

// The library's object behind `pointer`; none when `pointer` is a host's.
ObjectRef LibraryObjectOf(QeltDispatch* pointer) noexcept;

// The error the calling thread's last releasing of an object raised, taken
// (forgotten here); nullopt when there is none.
std::optional<RaisedError> TakeReleaseError();

}  // namespace parcelmoor
