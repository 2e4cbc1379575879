// The shared library's C entry points: in-process server exports, the class
// factory and late-bound object interfaces they hand out, over the dispatch
// layer. Nothing thrown inside leaves through a C function: raised errors
// become QELT_DISP_E_EXCEPTION with their three parts, allocation failures
// QELT_E_OUTOFMEMORY.
#include "component/server_abi.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "form/form_item.h"
#include "component/class_factory.h"
#include "runtime/dispatch.h"
#include "component/registration.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr Guid kIUnknown = QELT_IID_IUNKNOWN;
constexpr Guid kIClassFactory = QELT_IID_ICLASSFACTORY;

// A script's reference to one of the library's objects.
struct DispatchObject : QeltDispatch {
  explicit DispatchObject(ObjectRef o);
  std::atomic<uint32_t> refs{1};
  ObjectRef target;
};

struct FactoryObject : QeltClassFactory {
  explicit FactoryObject(std::shared_ptr<ClassFactory> f);
  std::atomic<uint32_t> refs{1};
  std::shared_ptr<ClassFactory> factory;
};

thread_local std::optional<RaisedError> releaseError;

void KeepReleaseError(const RaisedError& e) noexcept {
  try {
    releaseError = e;
  } catch (...) {
    releaseError.reset();  // no memory to keep it: the error is lost
  }
}

// A NUL-terminated copy from malloc; nullptr when memory is short.
char* CopyText(std::string_view text) noexcept {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void FillError(QeltErrorInfo* error, const RaisedError& e) noexcept {
  if (!error) return;
  error->number = e.number();
  error->source = CopyText(e.source());
  error->description = CopyText(e.description());
}

// The class interface an object answers to besides IUnknown.
std::optional<Guid> InterfaceOf(const ObjectRef& o) {
  if (dynamic_cast<const UploadFile*>(o.get())) return kUploadFileInterfaceId;
  if (dynamic_cast<const FormItem*>(o.get())) return kFormItemInterfaceId;
  return std::nullopt;
}

InvokeKind KindFromC(int32_t kind) {
  switch (kind) {
    case QELT_DISPATCH_METHOD:
      return InvokeKind::kMethod;
    case QELT_DISPATCH_PROPERTYGET:
    case QELT_DISPATCH_METHOD | QELT_DISPATCH_PROPERTYGET:
      return InvokeKind::kPropertyGet;
    case QELT_DISPATCH_PROPERTYPUT:
      return InvokeKind::kPropertyPut;
    case QELT_DISPATCH_PROPERTYPUTREF:
      return InvokeKind::kPropertyPutRef;
  }
  RaiseRuntimeError(errnum::kObjectDoesntSupport);
}

Variant FromC(const QeltVariant& v);
void ToC(const Variant& v, QeltVariant* out);

uint32_t DispatchAddRef(QeltDispatch* self) {
  return static_cast<DispatchObject*>(self)->refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t DispatchRelease(QeltDispatch* self) {
  auto* d = static_cast<DispatchObject*>(self);
  uint32_t left = d->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left != 0) return left;
  try {
    ReleaseObject(d->target);
  } catch (const RaisedError& e) {
    KeepReleaseError(e);
  }
  delete d;
  return 0;
}

QeltHResult DispatchQueryInterface(QeltDispatch* self, const QeltGuid* iid, void** out) {
  if (!out || !iid) return QELT_E_POINTER;
  *out = nullptr;
  auto* d = static_cast<DispatchObject*>(self);
  if (*iid != kIUnknown && InterfaceOf(d->target) != *iid) return QELT_E_NOINTERFACE;
  DispatchAddRef(self);
  *out = self;
  return QELT_S_OK;
}

QeltHResult DispatchGetIDOfName(QeltDispatch* self, const char* name, int32_t* dispId) {
  if (!name || !dispId) return QELT_E_POINTER;
  try {
    *dispId = GetIDOfName(static_cast<DispatchObject*>(self)->target, name);
    return QELT_S_OK;
  } catch (const RaisedError& e) {
    return e.number() == errnum::kOutOfMemory ? QELT_E_OUTOFMEMORY : QELT_DISP_E_UNKNOWNNAME;
  }
}

QeltHResult DispatchInvoke(QeltDispatch* self, int32_t dispId, int32_t kind, const QeltVariant* args,
                           size_t argCount, QeltVariant* result, QeltErrorInfo* error) {
  if (result) *result = QeltVariant{};
  if (error) *error = QeltErrorInfo{};
  if (argCount != 0 && !args) return QELT_E_POINTER;
  try {
    AtBoundary([&] {
      std::vector<Variant> in;
      in.reserve(argCount);
      for (size_t i = 0; i < argCount; ++i) in.push_back(FromC(args[i]));
      Variant out = Invoke(static_cast<DispatchObject*>(self)->target, dispId, KindFromC(kind), std::move(in));
      if (result) ToC(out, result);
    });
    return QELT_S_OK;
  } catch (const RaisedError& e) {
    FillError(error, e);
    return QELT_DISP_E_EXCEPTION;
  }
}

constexpr QeltDispatchVtbl kDispatchVtbl = {DispatchQueryInterface, DispatchAddRef, DispatchRelease,
                                            DispatchGetIDOfName, DispatchInvoke};

DispatchObject::DispatchObject(ObjectRef o) : QeltDispatch{&kDispatchVtbl}, target(std::move(o)) {}

Variant FromC(const QeltVariant& v) {
  switch (v.type) {
    case QELT_VT_EMPTY:
      return Variant();
    case QELT_VT_NULL:
      return Variant::Null();
    case QELT_VT_I4:
      return Variant(v.integer);
    case QELT_VT_BOOL:
      return Variant::Bool(static_cast<Boolean>(v.integer));
    case QELT_VT_TEXT:
      return Variant(v.text ? std::string(v.text, v.textLength) : std::string());
    case QELT_VT_OBJECT:
      if (!v.object) return Variant(ObjectRef());
      // Only the library's own objects can be passed back in.
      if (v.object->vtbl == &kDispatchVtbl) return Variant(static_cast<DispatchObject*>(v.object)->target);
      break;
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
  } else if (v.isText()) {
    c.type = QELT_VT_TEXT;
    c.text = CopyText(v.text());
    if (!c.text) throw std::bad_alloc();
    c.textLength = v.text().size();
  } else if (v.isObject()) {
    c.type = QELT_VT_OBJECT;
    if (!(v == Variant(ObjectRef()))) c.object = new DispatchObject(v.asObject());
  }
  *out = c;
}

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
    *out = static_cast<QeltDispatch*>(new DispatchObject(cls.create()));
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

QeltHResult QeltTakeReleaseError(QeltErrorInfo* error) {
  if (!releaseError) return QELT_S_FALSE;
  FillError(error, *releaseError);
  releaseError.reset();
  return QELT_S_OK;
}

void QeltVariantClear(QeltVariant* v) {
  if (!v) return;
  std::free(v->text);
  if (v->object) v->object->vtbl->Release(v->object);
  *v = QeltVariant{};
}

void QeltErrorInfoClear(QeltErrorInfo* error) {
  if (!error) return;
  std::free(error->source);
  std::free(error->description);
  *error = QeltErrorInfo{};
}

}  // extern "C"
