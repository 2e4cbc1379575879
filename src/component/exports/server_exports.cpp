// The shared library's C entry points: in-process server exports, the class
// factory, creation by class name and the C value helpers, over the dispatch
// layer. Nothing thrown inside leaves through a C function: raised errors
// become QELT_DISP_E_EXCEPTION with their three parts, allocation failures
// QELT_E_OUTOFMEMORY.
#include "component/server_abi.h"

#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <optional>
#include <string>

#include "component/c_values.h"
#include "component/class_factory.h"
#include "component/dispatch_object.h"
#include "component/registration.h"
#include "runtime/dispatch.h"

namespace parcelmoor {

// This file sees the C header's QeltGuid (included first) and copies the
// library's identity into the C header's mirror of it field by field: both
// copies of each struct must keep one layout.
static_assert(HasGuidLayout<QeltGuid>(), "server_abi.h's QeltGuid left runtime/guid.h's layout");
#define PARCELMOOR_SAME_FIELD(field)                                                        \
  static_assert(offsetof(QeltLibraryIdentity, field) == offsetof(LibraryIdentity, field) && \
                    sizeof(QeltLibraryIdentity::field) == sizeof(LibraryIdentity::field),   \
                "QeltLibraryIdentity::" #field " left LibraryIdentity's layout")
PARCELMOOR_SAME_FIELD(name);
PARCELMOOR_SAME_FIELD(versionMajor);
PARCELMOOR_SAME_FIELD(versionMinor);
PARCELMOOR_SAME_FIELD(locale);
PARCELMOOR_SAME_FIELD(fileName);
PARCELMOOR_SAME_FIELD(fileVersion);
PARCELMOOR_SAME_FIELD(productVersion);
PARCELMOOR_SAME_FIELD(internalName);
PARCELMOOR_SAME_FIELD(fileDescription);
PARCELMOOR_SAME_FIELD(libraryId);
#undef PARCELMOOR_SAME_FIELD
static_assert(sizeof(QeltLibraryIdentity) == sizeof(LibraryIdentity), "QeltLibraryIdentity's size");

namespace {

constexpr Guid kIUnknown = QELT_IID_IUNKNOWN;
constexpr Guid kIClassFactory = QELT_IID_ICLASSFACTORY;

struct FactoryObject : QeltClassFactory {
  explicit FactoryObject(std::shared_ptr<ClassFactory> f);
  std::atomic<uint32_t> refs{1};
  std::shared_ptr<ClassFactory> factory;
};

uint32_t FactoryAddRef(QeltClassFactory* self) {
  return static_cast<FactoryObject*>(self)->refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t FactoryRelease(QeltClassFactory* self) {
  auto* f = static_cast<FactoryObject*>(self);
  uint32_t left = f->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete f;
  return left;
}

QeltHResult FactoryQueryInterface(QeltClassFactory* self, const QeltGuid* iid, void** out) {
  if (!out || !iid) return QELT_E_POINTER;
  *out = nullptr;
  if (*iid != kIUnknown && *iid != kIClassFactory) return QELT_E_NOINTERFACE;
  FactoryAddRef(self);
  *out = self;
  return QELT_S_OK;
}

QeltHResult FactoryCreateInstance(QeltClassFactory* self, void* outer, const QeltGuid* iid, void** out) {
  if (!out || !iid) return QELT_E_POINTER;
  *out = nullptr;
  if (outer) return QELT_CLASS_E_NOAGGREGATION;
  const ComponentClass& cls = static_cast<FactoryObject*>(self)->factory->componentClass();
  if (*iid != kIUnknown && *iid != cls.interfaceId) return QELT_E_NOINTERFACE;
  try {
    *out = DispatchFor(cls.create());
    return QELT_S_OK;
  } catch (const std::bad_alloc&) {
    return QELT_E_OUTOFMEMORY;
  } catch (...) {
    return QELT_E_FAIL;
  }
}

QeltHResult FactoryLockServer(QeltClassFactory*, int32_t lock) {
  ClassFactory::LockServer(lock != 0);
  return QELT_S_OK;
}

constexpr QeltClassFactoryVtbl kFactoryVtbl = {FactoryQueryInterface, FactoryAddRef, FactoryRelease,
                                               FactoryCreateInstance, FactoryLockServer};

FactoryObject::FactoryObject(std::shared_ptr<ClassFactory> f) : QeltClassFactory{&kFactoryVtbl}, factory(std::move(f)) {}

// Path of this library file, for the registration.
std::string OwnPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) && info.dli_fname) return info.dli_fname;
  return std::string();
}

}  // namespace
}  // namespace parcelmoor

using namespace parcelmoor;

extern "C" {

QeltHResult DllGetClassObject(const QeltGuid* classId, const QeltGuid* iid, void** out) {
  if (!out || !classId || !iid) return QELT_E_POINTER;
  *out = nullptr;
  try {
    std::shared_ptr<ClassFactory> factory = GetClassFactory(*classId);
    if (!factory) return QELT_CLASS_E_CLASSNOTAVAILABLE;
    if (*iid != kIUnknown && *iid != kIClassFactory) return QELT_E_NOINTERFACE;
    *out = static_cast<QeltClassFactory*>(new FactoryObject(std::move(factory)));
    return QELT_S_OK;
  } catch (...) {
    return QELT_E_OUTOFMEMORY;
  }
}

QeltHResult DllCanUnloadNow(void) { return CanUnloadNow() ? QELT_S_OK : QELT_S_FALSE; }

QeltHResult DllRegisterServer(void) {
  try {
    RegisterServer(OwnPath());
    return QELT_S_OK;
  } catch (...) {
    return QELT_SELFREG_E_CLASS;
  }
}

QeltHResult DllUnregisterServer(void) {
  try {
    UnregisterServer();
    return QELT_S_OK;
  } catch (...) {
    return QELT_SELFREG_E_CLASS;
  }
}

const QeltLibraryIdentity* qelt_parcelmoor_LibraryIdentity(void) {
  static const QeltLibraryIdentity identity = [] {
    const LibraryIdentity& id = GetLibraryIdentity();
    return QeltLibraryIdentity{id.name,           id.versionMajor,   id.versionMinor,
                               id.locale,         id.fileName,       id.fileVersion,
                               id.productVersion, id.internalName,   id.fileDescription,
                               id.libraryId};
  }();
  return &identity;
}

QeltHResult QeltCreateObject(const char* progId, QeltDispatch** out) {
  if (!progId || !out) return QELT_E_POINTER;
  *out = nullptr;
  try {
    if (!ClassIdFromProgId(progId)) return QELT_CO_E_CLASSSTRING;
    *out = DispatchFor(CreateObject(progId));
    return QELT_S_OK;
  } catch (const std::bad_alloc&) {
    return QELT_E_OUTOFMEMORY;
  } catch (...) {
    return QELT_E_FAIL;
  }
}

QeltHResult QeltTakeReleaseError(QeltErrorInfo* error) {
  std::optional<RaisedError> taken = TakeReleaseError();
  if (!taken) return QELT_S_FALSE;
  ErrorToC(*taken, error);
  return QELT_S_OK;
}

void QeltVariantClear(QeltVariant* v) { ClearC(v); }

void QeltErrorInfoClear(QeltErrorInfo* error) { ClearC(error); }

}  // extern "C"
