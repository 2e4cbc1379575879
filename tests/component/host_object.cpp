// Host objects made the way a C host makes them (see server_library.h).
#include <cstdlib>
#include <cstring>

#include "component/server_library.h"
#include "runtime/ascii.h"

namespace parcelmoor {
namespace {

HostObject* Self(QeltDispatch* self) { return static_cast<HostObject*>(self); }

template <class T>
T* Copy(const T* data, size_t n) {
  if (n == 0) return nullptr;
  auto* copy = static_cast<T*>(std::malloc(n + 1));
  std::memcpy(copy, data, n);
  reinterpret_cast<char*>(copy)[n] = 0;
  return copy;
}

QeltHResult QueryInterface(QeltDispatch* self, const QeltGuid* iid, void** out) {
  static const QeltGuid kIUnknown = QELT_IID_IUNKNOWN;
  *out = nullptr;
  if (*iid != kIUnknown) return QELT_E_NOINTERFACE;
  *out = self;
  ++Self(self)->refs;
  return QELT_S_OK;
}

uint32_t AddRef(QeltDispatch* self) { return ++Self(self)->refs; }

uint32_t Release(QeltDispatch* self) {
  uint32_t left = --Self(self)->refs;
  if (left == 0) delete Self(self);
  return left;
}

QeltHResult GetIDOfName(QeltDispatch* self, const char* name, int32_t* id) {
  auto& members = Self(self)->members;
  for (size_t i = 0; i < members.size(); ++i) {
    if (EqualsIgnoringAsciiCase(members[i].first, name)) {
      *id = static_cast<int32_t>(i + 1);
      return QELT_S_OK;
    }
  }
  return QELT_DISP_E_UNKNOWNNAME;
}

QeltHResult Invoke(QeltDispatch* self, int32_t id, int32_t, const QeltVariant* args, size_t argCount,
                   QeltVariant* result, QeltErrorInfo* error) {
  auto& members = Self(self)->members;
  if (id < 1 || static_cast<size_t>(id) > members.size()) return QELT_DISP_E_MEMBERNOTFOUND;
  return members[static_cast<size_t>(id) - 1].second(args, argCount, result, error);
}

constexpr QeltDispatchVtbl kHostVtbl = {QueryInterface, AddRef, Release, GetIDOfName, Invoke};

}  // namespace

HostObject::HostObject() : QeltDispatch{&kHostVtbl} {}

HostObject& HostObject::Set(std::string name, Member member) {
  Remove(name);
  members.emplace_back(std::move(name), std::move(member));
  return *this;
}

HostObject& HostObject::Remove(std::string_view name) {
  std::erase_if(members, [&](const auto& m) { return EqualsIgnoringAsciiCase(m.first, name); });
  return *this;
}

HostObject::Member Answer(const QeltVariant& value) {
  return [value](const QeltVariant*, size_t, QeltVariant* result, QeltErrorInfo*) {
    *result = value;
    result->text = Copy(value.text, value.textLength);
    result->bytes = Copy(value.bytes, value.byteCount);
    if (value.object) value.object->vtbl->AddRef(value.object);
    return QELT_S_OK;
  };
}

HostObject::Member Raising(int32_t number, std::string_view source, std::string_view description) {
  return [number, source = std::string(source), description = std::string(description)](
             const QeltVariant*, size_t, QeltVariant*, QeltErrorInfo* error) {
    *error = {number, Copy(source.data(), source.size()), source.size(), Copy(description.data(), description.size()),
              description.size()};
    return QELT_DISP_E_EXCEPTION;
  };
}

}  // namespace parcelmoor
