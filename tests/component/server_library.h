#pragma once
// Test support: the shared library loaded by path and used only through its C
// exports, and host objects made the way a C host makes them.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/class_factory.h"
#include "component/server_abi.h"

namespace parcelmoor {

class ServerLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QELT_PARCELMOOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    getClassObject = Symbol<decltype(&DllGetClassObject)>("DllGetClassObject");
    canUnloadNow = Symbol<decltype(&DllCanUnloadNow)>("DllCanUnloadNow");
    registerServer = Symbol<decltype(&DllRegisterServer)>("DllRegisterServer");
    unregisterServer = Symbol<decltype(&DllUnregisterServer)>("DllUnregisterServer");
    identity = Symbol<decltype(&qelt_parcelmoor_LibraryIdentity)>("qelt_parcelmoor_LibraryIdentity");
    takeReleaseError = Symbol<decltype(&QeltTakeReleaseError)>("QeltTakeReleaseError");
    variantClear = Symbol<decltype(&QeltVariantClear)>("QeltVariantClear");
    errorClear = Symbol<decltype(&QeltErrorInfoClear)>("QeltErrorInfoClear");
    createObject = Symbol<decltype(&QeltCreateObject)>("QeltCreateObject");
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }

  template <class F>
  F Symbol(const char* name) {
    void* p = dlsym(handle_, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
  }

  QeltClassFactory* Factory(const Guid& classId) {
    static const QeltGuid kIClassFactory = QELT_IID_ICLASSFACTORY;
    void* out = nullptr;
    EXPECT_EQ(getClassObject(&classId, &kIClassFactory, &out), QELT_S_OK);
    return static_cast<QeltClassFactory*>(out);
  }

  QeltDispatch* Create(const Guid& classId) {
    static const QeltGuid kIUnknown = QELT_IID_IUNKNOWN;
    QeltClassFactory* factory = Factory(classId);
    if (!factory) return nullptr;
    void* out = nullptr;
    EXPECT_EQ(factory->vtbl->CreateInstance(factory, nullptr, &kIUnknown, &out), QELT_S_OK);
    factory->vtbl->Release(factory);
    return static_cast<QeltDispatch*>(out);
  }

  int32_t Id(QeltDispatch* o, const char* name) {
    int32_t id = -1;
    EXPECT_EQ(o->vtbl->GetIDOfName(o, name, &id), QELT_S_OK) << name;
    return id;
  }

  static QeltVariant Text(std::string_view s) {
    QeltVariant v{};
    v.type = QELT_VT_TEXT;
    v.text = const_cast<char*>(s.data());
    v.textLength = s.size();
    return v;
  }
  static QeltVariant Integer(int32_t n) {
    QeltVariant v{};
    v.type = QELT_VT_I4;
    v.integer = n;
    return v;
  }

  decltype(&DllGetClassObject) getClassObject = nullptr;
  decltype(&DllCanUnloadNow) canUnloadNow = nullptr;
  decltype(&DllRegisterServer) registerServer = nullptr;
  decltype(&DllUnregisterServer) unregisterServer = nullptr;
  decltype(&qelt_parcelmoor_LibraryIdentity) identity = nullptr;
  decltype(&QeltTakeReleaseError) takeReleaseError = nullptr;
  decltype(&QeltVariantClear) variantClear = nullptr;
  decltype(&QeltErrorInfoClear) errorClear = nullptr;
  decltype(&QeltCreateObject) createObject = nullptr;

 private:
  void* handle_ = nullptr;
};

// A host's automation object: members by name (any letter case), dispatch id
// = position + 1; each member answers from its function.
struct HostObject : QeltDispatch {
  using Member =
      std::function<QeltHResult(const QeltVariant* args, size_t argCount, QeltVariant* result, QeltErrorInfo* error)>;
  HostObject();
  // Adds or replaces member `name`.
  HostObject& Set(std::string name, Member member);
  HostObject& Remove(std::string_view name);

  uint32_t refs = 1;
  std::vector<std::pair<std::string, Member>> members;
};

// A member answering with `value` (texts and bytes copied with malloc).
HostObject::Member Answer(const QeltVariant& value);
// A member raising error `number` with these texts.
HostObject::Member Raising(int32_t number, std::string_view source, std::string_view description);

}  // namespace parcelmoor
