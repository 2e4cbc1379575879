#pragma once
// Creation of the library's two public classes: each has a fixed class name,
// class identifier and interface identifier, and a class factory (itself a
// counted object) that makes new instances. The identifiers below are public
// and never change.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "component/server_abi.h"
#include "runtime/guid.h"
#include "runtime/object.h"

namespace parcelmoor {

// The identifiers as the C header publishes them.
inline constexpr Guid kLibraryId = QELT_LIBID_PARCELMOOR;
inline constexpr Guid kUploadFileClassId = QELT_CLSID_UPLOADFILE;
inline constexpr Guid kFormItemClassId = QELT_CLSID_FORMITEM;
inline constexpr Guid kUploadFileInterfaceId = QELT_IID_UPLOADFILE;
inline constexpr Guid kFormItemInterfaceId = QELT_IID_FORMITEM;

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
