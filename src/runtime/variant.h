#pragma once
// The automation variant: empty, null, Boolean, 32-bit integer, 64-bit
// integer, text, byte array or object reference. Booleans are 16-bit: true is
// -1, false is 0, any non-zero tests true. The 64-bit integer and the byte
// array are what foreign hosts hand over (a body length, body bytes); a script
// of the component never makes them.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace parcelmoor {

class Object;
using ObjectRef = std::shared_ptr<Object>;

using Boolean = int16_t;
inline constexpr Boolean kTrue = -1;
inline constexpr Boolean kFalse = 0;
inline constexpr Boolean ToBoolean(bool b) { return b ? kTrue : kFalse; }

struct NullValue {
  bool operator==(const NullValue&) const = default;
};
struct BooleanValue {
  Boolean value;
  bool operator==(const BooleanValue&) const = default;
};
struct LongValue {
  int64_t value;
  bool operator==(const LongValue&) const = default;
};
using ByteArray = std::vector<uint8_t>;

class Variant {
 public:
  Variant() = default;  // empty
  Variant(NullValue) : v_(NullValue{}) {}
  Variant(BooleanValue b) : v_(b) {}
  Variant(LongValue n) : v_(n) {}
  Variant(ByteArray bytes) : v_(std::move(bytes)) {}
  Variant(int32_t n) : v_(n) {}
  Variant(std::string s) : v_(std::move(s)) {}
  Variant(const char* s) : v_(std::string(s)) {}
  Variant(ObjectRef o) : v_(std::move(o)) {}
  template <class T>
  Variant(std::shared_ptr<T> o) : v_(ObjectRef(std::move(o))) {}

  static Variant Null() { return Variant(NullValue{}); }
  static Variant Bool(Boolean b) { return Variant(BooleanValue{b}); }
  static Variant Long(int64_t n) { return Variant(LongValue{n}); }
  static Variant Bytes(ByteArray bytes) { return Variant(std::move(bytes)); }

  bool isEmpty() const { return std::holds_alternative<std::monostate>(v_); }
  bool isNull() const { return std::holds_alternative<NullValue>(v_); }
  bool isBoolean() const { return std::holds_alternative<BooleanValue>(v_); }
  bool isInteger() const { return std::holds_alternative<int32_t>(v_); }
  bool isText() const { return std::holds_alternative<std::string>(v_); }
  bool isObject() const { return std::holds_alternative<ObjectRef>(v_); }
  bool isLong() const { return std::holds_alternative<LongValue>(v_); }
  bool isBytes() const { return std::holds_alternative<ByteArray>(v_); }

  // Coercions as the scripting runtime makes them. Null used as text raises 94,
  // a value of the wrong kind raises 13, a missing object raises 91, a 64-bit
  // integer out of the 32-bit range raises 6. A byte array is none of text,
  // number or Boolean (13).
  std::string asText() const;
  int32_t asInteger() const;
  // Any integer or Boolean, and decimal text within 32 bits.
  int64_t asLong() const;
  Boolean asBoolean() const;
  ObjectRef asObject() const;

  // Direct access to held text, for in-place appends. REQUIRES: isText().
  std::string& text() { return std::get<std::string>(v_); }
  const std::string& text() const { return std::get<std::string>(v_); }
  // The held bytes. REQUIRES: isBytes().
  const ByteArray& bytes() const { return std::get<ByteArray>(v_); }

  bool operator==(const Variant&) const = default;

 private:
  std::variant<std::monostate, NullValue, BooleanValue, int32_t, std::string, ObjectRef, LongValue, ByteArray> v_;
};

}  // namespace parcelmoor
