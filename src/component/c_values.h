#pragma once
// Values across the C interface: a QeltVariant to a Variant and back, raised
// errors to QeltErrorInfo and back, and the freeing of both. Texts, bytes and
// error texts are owned through malloc/free, as the C header states.

#include <string_view>

#include "component/server_abi.h"
#include "runtime/raised_error.h"
#include "runtime/variant.h"

namespace parcelmoor {

// The value of a borrowed C variant. An object is the library's own object
// behind the pointer, or a host's object wrapped with a reference of its own.
// A Boolean outside 16 bits is kept as true. Raises 13 for an unknown type.
Variant FromC(const QeltVariant& v);
// `v` as a C variant owned by `out` (overwritten without being freed).
// Throws std::bad_alloc.
void ToC(const Variant& v, QeltVariant* out);
// Frees what `v` owns and leaves it empty.
void ClearC(QeltVariant* v) noexcept;

// The error as an owned C record; texts are left null when memory is short.
void ErrorToC(const RaisedError& e, QeltErrorInfo* out) noexcept;
// The error a C record holds (texts up to their lengths).
RaisedError ErrorFromC(const QeltErrorInfo& error);
void ClearC(QeltErrorInfo* error) noexcept;

}  // namespace parcelmoor
