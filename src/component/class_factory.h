#pragma once
// Creation of the library's two public classes: each has a fixed class name,
// class identifier and interface identifier, and a class factory (itself a
// counted object) that makes new instances. The identifiers below are public
// and never change.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "runtime/guid.h"
#include "runtime/object.h"

namespace parcelmoor {

// the type library qelt_parcelmoor: {2ED867C3-AB0A-47B7-BBF6-23D41503B9DA}
inline constexpr Guid kLibraryId{0x2ED867C3, 0xAB0A, 0x47B7, {0xBB, 0xF6, 0x23, 0xD4, 0x15, 0x03, 0xB9, 0xDA}};
// class UploadFile: {0C3D734A-5107-47BD-84CE-5D47CD31BC48}
inline constexpr Guid kUploadFileClassId{0x0C3D734A, 0x5107, 0x47BD, {0x84, 0xCE, 0x5D, 0x47, 0xCD, 0x31, 0xBC, 0x48}};
// class FormItem: {7E13F3EE-89F3-4D5C-B042-1D73D5FB0251}
inline constexpr Guid kFormItemClassId{0x7E13F3EE, 0x89F3, 0x4D5C, {0xB0, 0x42, 0x1D, 0x73, 0xD5, 0xFB, 0x02, 0x51}};
// interface _UploadFile: {DF424253-E321-46A6-8C23-A1B8BF658739}
inline constexpr Guid kUploadFileInterfaceId{0xDF424253, 0xE321, 0x46A6, {0x8C, 0x23, 0xA1, 0xB8, 0xBF, 0x65, 0x87, 0x39}};
// interface _FormItem: {327E1B8A-3766-4D95-8382-3608E160E1B2}
inline constexpr Guid kFormItemInterfaceId{0x327E1B8A, 0x3766, 0x4D95, {0x83, 0x82, 0x36, 0x08, 0xE1, 0x60, 0xE1, 0xB2}};

struct ComponentClass {
  std::string_view progId;         // class name for creation, e.g. "qelt_parcelmoor.UploadFile"
  std::string_view name;           // "UploadFile"
  std::string_view interfaceName;  // its default interface, "_UploadFile"
  Guid classId;
  Guid interfaceId;
  ObjectRef (*create)();  // a new instance; never none
};

// UploadFile, then FormItem.
std::span<const ComponentClass> ComponentClasses();
// The class with this identifier; nullptr when the library has none.
const ComponentClass* FindComponentClass(const Guid& classId);

class ClassFactory : public Object {
 public:
  explicit ClassFactory(const ComponentClass& cls) : class_(cls) {}

  const ComponentClass& componentClass() const { return class_; }
  // A new instance of the class.
  ObjectRef CreateInstance() const { return class_.create(); }

  // Server locks keep the library loaded with no object alive; each lock is
  // undone by one unlock. Thread-safe.
  static void LockServer(bool lock);
  static int64_t ServerLocks();

 private:
  const ComponentClass& class_;
};

// A new factory for class `classId`; nullptr when the library has no such class.
std::shared_ptr<ClassFactory> GetClassFactory(const Guid& classId);

// True when no object or factory of the library is alive and no server lock
// is held, so that the library may be unloaded.
bool CanUnloadNow();

}  // namespace parcelmoor
