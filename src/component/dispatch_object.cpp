#include "component/dispatch_object.h"

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <unordered_map>
#include <vector>

#include "component/c_values.h"
#include "component/class_factory.h"
#include "form/form_item.h"
#include "runtime/collection.h"
#include "runtime/dispatch.h"
#include "runtime/member_table.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr Guid kIUnknown = QELT_IID_IUNKNOWN;

struct DispatchObject : QeltDispatch {
  explicit DispatchObject(ObjectRef o);
  std::atomic<uint32_t> refs{1};
  ObjectRef target;
};

// The C pointer of every object that has one. Guarded by pointersMutex; an
// entry goes before its DispatchObject is deleted.
std::mutex pointersMutex;
std::unordered_map<const Object*, DispatchObject*>& Pointers() {
  static std::unordered_map<const Object*, DispatchObject*> pointers;
  return pointers;
}

// The releasing thread's pending error, in a thread-specific slot: a
// thread_local with a destructor would keep dlclose from unloading the library
// until the thread ends. The slot frees an error its thread leaves untaken;
// unloading frees the unloading thread's.
class ReleaseErrorSlot {
 public:
  ReleaseErrorSlot() : ready_(pthread_key_create(&key_, &Delete) == 0) {}
  ~ReleaseErrorSlot() {
    if (!ready_) return;
    Delete(pthread_getspecific(key_));
    pthread_key_delete(key_);
  }
  ReleaseErrorSlot(const ReleaseErrorSlot&) = delete;
  ReleaseErrorSlot& operator=(const ReleaseErrorSlot&) = delete;

  // Keeps `error` (owned from here on), replacing an earlier one.
  void Put(RaisedError* error) noexcept {
    if (!ready_) return Delete(error);
    Delete(pthread_getspecific(key_));
    if (pthread_setspecific(key_, error) != 0) Delete(error);
  }
  // The kept error, now the caller's; nullptr when there is none.
  RaisedError* Take() noexcept {
    if (!ready_) return nullptr;
    auto* error = static_cast<RaisedError*>(pthread_getspecific(key_));
    if (error) pthread_setspecific(key_, nullptr);
    return error;
  }

 private:
  static void Delete(void* error) { delete static_cast<RaisedError*>(error); }
  pthread_key_t key_{};
  bool ready_;
};

ReleaseErrorSlot& ReleaseErrors() {
  static ReleaseErrorSlot slot;
  return slot;
}

void KeepReleaseError(const RaisedError& e) noexcept {
  // With no memory to copy it, the error is lost.
  ReleaseErrors().Put(new (std::nothrow) RaisedError(e));
}

// The member table and class interface of the library's script-visible classes.
std::span<const MemberSlot> MembersOf(const ObjectRef& o) {
  if (dynamic_cast<const UploadFile*>(o.get())) return UploadFileMembers();
  if (dynamic_cast<const FormItem*>(o.get())) return FormItemMembers();
  if (dynamic_cast<const Collection*>(o.get())) return CollectionMembers();
  return {};
}

std::optional<Guid> InterfaceOf(const ObjectRef& o) {
  if (dynamic_cast<const UploadFile*>(o.get())) return kUploadFileInterfaceId;
  if (dynamic_cast<const FormItem*>(o.get())) return kFormItemInterfaceId;
  return std::nullopt;
}

bool HasMember(const ObjectRef& o, DispId id, InvokeKind kind) {
  try {
    FindSlot(MembersOf(o), id, kind, 0);
  } catch (const RaisedError& e) {
    return e.number() != errnum::kObjectDoesntSupport;
  }
  return true;
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
  return InvokeKind{0};  // answered by no member
}

DispatchObject* Self(QeltDispatch* self) { return static_cast<DispatchObject*>(self); }

uint32_t DispatchAddRef(QeltDispatch* self) { return Self(self)->refs.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t DispatchRelease(QeltDispatch* self) {
  DispatchObject* d = Self(self);
  uint32_t left = d->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left != 0) return left;
  {
    // DispatchFor may have handed the pointer out again meanwhile.
    std::lock_guard lock(pointersMutex);
    if (d->refs.load(std::memory_order_acquire) != 0) return 0;
    Pointers().erase(d->target.get());
  }
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
  if (*iid != kIUnknown && InterfaceOf(Self(self)->target) != *iid) return QELT_E_NOINTERFACE;
  DispatchAddRef(self);
  *out = self;
  return QELT_S_OK;
}

QeltHResult DispatchGetIDOfName(QeltDispatch* self, const char* name, int32_t* dispId) {
  if (!name || !dispId) return QELT_E_POINTER;
  try {
    *dispId = GetIDOfName(Self(self)->target, name);
    return QELT_S_OK;
  } catch (const RaisedError& e) {
    return e.number() == errnum::kOutOfMemory ? QELT_E_OUTOFMEMORY : QELT_DISP_E_UNKNOWNNAME;
  }
}

QeltHResult DispatchInvoke(QeltDispatch* self, int32_t dispId, int32_t kind, const QeltVariant* args, size_t argCount,
                           QeltVariant* result, QeltErrorInfo* error) {
  ClearC(result);
  ClearC(error);
  if (argCount != 0 && !args) return QELT_E_POINTER;
  const ObjectRef& target = Self(self)->target;
  try {
    if (!HasMember(target, dispId, KindFromC(kind))) return QELT_DISP_E_MEMBERNOTFOUND;
    AtBoundary([&] {
      std::vector<Variant> in;
      in.reserve(argCount);
      for (size_t i = 0; i < argCount; ++i) in.push_back(FromC(args[i]));
      Variant out = Invoke(target, dispId, KindFromC(kind), std::move(in));
      if (result) ToC(out, result);
    });
    return QELT_S_OK;
  } catch (const RaisedError& e) {
    ErrorToC(e, error);
    return QELT_DISP_E_EXCEPTION;
  } catch (...) {
    return QELT_E_OUTOFMEMORY;  // HasMember's look-up could not allocate
  }
}

constexpr QeltDispatchVtbl kDispatchVtbl = {DispatchQueryInterface, DispatchAddRef, DispatchRelease,
                                            DispatchGetIDOfName, DispatchInvoke};

DispatchObject::DispatchObject(ObjectRef o) : QeltDispatch{&kDispatchVtbl}, target(std::move(o)) {}

}  // namespace

QeltDispatch* DispatchFor(const ObjectRef& object) {
  std::lock_guard lock(pointersMutex);
  auto [entry, added] = Pointers().try_emplace(object.get(), nullptr);
  if (!added) {
    entry->second->refs.fetch_add(1, std::memory_order_acq_rel);
    return entry->second;
  }
  try {
    entry->second = new DispatchObject(object);
  } catch (...) {
    Pointers().erase(entry);
    throw;
  }
  return entry->second;
}

ObjectRef LibraryObjectOf(QeltDispatch* pointer) noexcept {
  if (!pointer || pointer->vtbl != &kDispatchVtbl) return nullptr;
  return Self(pointer)->target;
}

std::optional<RaisedError> TakeReleaseError() {
  std::unique_ptr<RaisedError> taken(ReleaseErrors().Take());
  if (!taken) return std::nullopt;
  return std::move(*taken);
}

}  // namespace parcelmoor
