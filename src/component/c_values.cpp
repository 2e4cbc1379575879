#include "component/c_values.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "component/dispatch_object.h"
#include "component/foreign_object.h"

namespace parcelmoor {
namespace {

// A NUL-terminated copy from malloc; nullptr when memory is short.
char* CopyText(std::string_view text) noexcept {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

std::string TextOf(const char* text, size_t length) { return text ? std::string(text, length) : std::string(); }

// A 16-bit Boolean; a wider non-zero value cut to 16 bits could read as false.
Boolean BooleanFromC(int32_t value) {
  if (value >= std::numeric_limits<Boolean>::min() && value <= std::numeric_limits<Boolean>::max())
    return static_cast<Boolean>(value);
  return kTrue;
}

Variant ObjectFromC(QeltDispatch* object) {
  if (!object) return Variant(ObjectRef());
  if (ObjectRef own = LibraryObjectOf(object)) return Variant(std::move(own));
  return Variant(ObjectRef(ForeignObject::Wrap(object)));
}

QeltDispatch* ObjectToC(const ObjectRef& object) {
  if (!object) return nullptr;
  if (auto* foreign = dynamic_cast<const ForeignObject*>(object.get())) return foreign->NewReference();
  return DispatchFor(object);
}

}  // namespace

Variant FromC(const QeltVariant& v) {
  switch (v.type) {
    case QELT_VT_EMPTY:
      return Variant();
    case QELT_VT_NULL:
      return Variant::Null();
    case QELT_VT_I4:
      return Variant(v.integer);
    case QELT_VT_I8:
      return Variant::Long(v.integer64);
    case QELT_VT_BOOL:
      return Variant::Bool(BooleanFromC(v.integer));
    case QELT_VT_TEXT:
      return Variant(TextOf(v.text, v.textLength));
    case QELT_VT_BYTES:
      return Variant::Bytes(v.bytes ? ByteArray(v.bytes, v.bytes + v.byteCount) : ByteArray());
    case QELT_VT_OBJECT:
      return ObjectFromC(v.object);
  }
  RaiseRuntimeError(errnum::kTypeMismatch);
}

void ToC(const Variant& v, QeltVariant* out) {
  QeltVariant c{};
  if (v.isNull()) {
    c.type = QELT_VT_NULL;
  } else if (v.isBoolean()) {
    c.type = QELT_VT_BOOL;
    c.integer = v.asBoolean();
  } else if (v.isInteger()) {
    c.type = QELT_VT_I4;
    c.integer = v.asInteger();
  } else if (v.isLong()) {
    c.type = QELT_VT_I8;
    c.integer64 = v.asLong();
  } else if (v.isText()) {
    c.type = QELT_VT_TEXT;
    c.text = CopyText(v.text());
    if (!c.text) throw std::bad_alloc();
    c.textLength = v.text().size();
  } else if (v.isBytes()) {
    c.type = QELT_VT_BYTES;
    if (!v.bytes().empty()) {
      c.bytes = static_cast<uint8_t*>(std::malloc(v.bytes().size()));
      if (!c.bytes) throw std::bad_alloc();
      std::memcpy(c.bytes, v.bytes().data(), v.bytes().size());
      c.byteCount = v.bytes().size();
    }
  } else if (v.isObject()) {
    c.type = QELT_VT_OBJECT;
    c.object = v == Variant(ObjectRef()) ? nullptr : ObjectToC(v.asObject());
  }
  *out = c;
}

void ClearC(QeltVariant* v) noexcept {
  if (!v) return;
  std::free(v->text);
  std::free(v->bytes);
  if (v->object) v->object->vtbl->Release(v->object);
  *v = QeltVariant{};
}

void ErrorToC(const RaisedError& e, QeltErrorInfo* out) noexcept {
  if (!out) return;
  QeltErrorInfo c{};
  c.number = e.number();
  c.source = CopyText(e.source());
  c.sourceLength = c.source ? e.source().size() : 0;
  c.description = CopyText(e.description());
  c.descriptionLength = c.description ? e.description().size() : 0;
  *out = c;
}

RaisedError ErrorFromC(const QeltErrorInfo& error) {
  return RaisedError(error.number, TextOf(error.source, error.sourceLength),
                     TextOf(error.description, error.descriptionLength));
}

void ClearC(QeltErrorInfo* error) noexcept {
  if (!error) return;
  std::free(error->source);
  std::free(error->description);
  *error = QeltErrorInfo{};
}

}  // namespace parcelmoor
