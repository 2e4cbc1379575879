#include "runtime/variant.h"

#include <cstdint>

#include "runtime/raised_error.h"

namespace parcelmoor {
namespace {
[[noreturn]] void TypeMismatch() { RaiseRuntimeError(errnum::kTypeMismatch); }

// A number as a Boolean: a value that fits in 16 bits is kept as it is (every
// test of a Boolean treats non-zero as true); a wider one would lose its set
// bits in the narrowing (65536 would read false), so any non-zero one is true.
Boolean NumberAsBoolean(int64_t n) {
  if (n >= INT16_MIN && n <= INT16_MAX) return static_cast<Boolean>(n);
  return kTrue;
}
}  // namespace

std::string Variant::asText() const {
  if (auto* s = std::get_if<std::string>(&v_)) return *s;
  if (auto* n = std::get_if<int32_t>(&v_)) return std::to_string(*n);
  if (auto* n = std::get_if<LongValue>(&v_)) return std::to_string(n->value);
  if (auto* b = std::get_if<BooleanValue>(&v_)) return b->value ? "True" : "False";
  if (isEmpty()) return std::string();
  if (isNull()) RaiseRuntimeError(errnum::kInvalidUseOfNull);
  TypeMismatch();
}

int32_t Variant::asInteger() const {
  if (auto* n = std::get_if<int32_t>(&v_)) return *n;
  if (auto* b = std::get_if<BooleanValue>(&v_)) return b->value;
  if (auto* n = std::get_if<LongValue>(&v_)) {
    if (n->value < INT32_MIN || n->value > INT32_MAX) RaiseRuntimeError(errnum::kOverflow);
    return static_cast<int32_t>(n->value);
  }
  if (isEmpty()) return 0;
  if (isNull()) RaiseRuntimeError(errnum::kInvalidUseOfNull);
  if (auto* s = std::get_if<std::string>(&v_)) {
    // Decimal text converts, as the runtime's implicit conversion does.
    size_t i = 0;
    while (i < s->size() && (*s)[i] == ' ') ++i;
    bool negative = i < s->size() && ((*s)[i] == '-' || (*s)[i] == '+') && (*s)[i++] == '-';
    int64_t value = 0;
    size_t digits = 0;
    for (; i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9'; ++i, ++digits) {
      value = value * 10 + ((*s)[i] - '0');
      if (value > int64_t{1} << 32) RaiseRuntimeError(errnum::kOverflow);
    }
    while (i < s->size() && (*s)[i] == ' ') ++i;
    if (digits == 0 || i != s->size()) TypeMismatch();
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX) RaiseRuntimeError(errnum::kOverflow);
    return static_cast<int32_t>(value);
  }
  TypeMismatch();
}

int64_t Variant::asLong() const {
  if (auto* n = std::get_if<LongValue>(&v_)) return n->value;
  return asInteger();
}

Boolean Variant::asBoolean() const {
  if (auto* b = std::get_if<BooleanValue>(&v_)) return b->value;
  if (auto* n = std::get_if<LongValue>(&v_)) return ToBoolean(n->value != 0);
  if (auto* n = std::get_if<int32_t>(&v_)) return NumberAsBoolean(*n);
  if (isEmpty()) return kFalse;
  if (auto* s = std::get_if<std::string>(&v_)) {
    if (s->size() == 4 && (*s)[0] == 'T' && *s == "True") return kTrue;
    if (*s == "False") return kFalse;
    return NumberAsBoolean(asInteger());
  }
  if (isNull()) RaiseRuntimeError(errnum::kInvalidUseOfNull);
  TypeMismatch();
}

ObjectRef Variant::asObject() const {
  if (auto* o = std::get_if<ObjectRef>(&v_)) {
    if (!*o) RaiseRuntimeError(errnum::kObjectNotSet);
    return *o;
  }
  if (isEmpty() || isNull())
    RaiseRuntimeError(errnum::kObjectNotSet);
  TypeMismatch();
}

}  // namespace parcelmoor
