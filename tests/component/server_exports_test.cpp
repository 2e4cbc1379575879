// The shared library, loaded by path and used only through its C exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "component/server_library.h"

namespace parcelmoor {
namespace {

TEST_F(ServerLibrary, ExportsOnlyTheCEntryPoints) {
  // The component's C++ symbols stay inside the library.
  void* handle = dlopen(QELT_PARCELMOOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN10parcelmoor12CanUnloadNowEv"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN10parcelmoor14RegisterServerESt17basic_string_viewIcSt11char_traitsIcEE"), nullptr);
  dlclose(handle);
}

TEST_F(ServerLibrary, IdentityIsReadable) {
  const QeltLibraryIdentity* id = identity();
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id->name, "qelt_parcelmoor");
  EXPECT_EQ(id->versionMajor, 1);
  EXPECT_EQ(id->versionMinor, 0);
  EXPECT_EQ(id->locale, 0x409u);
  EXPECT_STREQ(id->fileVersion, "1.00");
  EXPECT_STREQ(id->productVersion, "1.00");
  EXPECT_STREQ(id->internalName, "qelt_parcelmoor");
  EXPECT_STREQ(id->fileDescription, "Provides  RFC1867 functionality to Microsoft IIS Web Server");
  EXPECT_EQ(id->libraryId, kLibraryId);
  EXPECT_EQ(registerServer(), QELT_S_OK);
  EXPECT_EQ(unregisterServer(), QELT_S_OK);
}

TEST_F(ServerLibrary, ClassObjectsByIdentifierOnly) {
  static const QeltGuid kIClassFactory = QELT_IID_ICLASSFACTORY;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(&kUploadFileInterfaceId, &kIClassFactory, &out), QELT_CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(getClassObject(&kFormItemClassId, &kFormItemInterfaceId, &out), QELT_E_NOINTERFACE);
  EXPECT_EQ(getClassObject(&kFormItemClassId, &kIClassFactory, nullptr), QELT_E_POINTER);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);

  QeltClassFactory* factory = Factory(kFormItemClassId);
  ASSERT_NE(factory, nullptr);
  void* aggregate = nullptr;
  int outer = 0;
  EXPECT_EQ(factory->vtbl->CreateInstance(factory, &outer, &kFormItemInterfaceId, &aggregate),
            QELT_CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->vtbl->CreateInstance(factory, nullptr, &kUploadFileInterfaceId, &aggregate),
            QELT_E_NOINTERFACE);
  void* item = nullptr;
  ASSERT_EQ(factory->vtbl->CreateInstance(factory, nullptr, &kFormItemInterfaceId, &item), QELT_S_OK);
  auto* o = static_cast<QeltDispatch*>(item);
  void* same = nullptr;
  EXPECT_EQ(o->vtbl->QueryInterface(o, &kUploadFileInterfaceId, &same), QELT_E_NOINTERFACE);
  EXPECT_EQ(o->vtbl->QueryInterface(o, &kFormItemInterfaceId, &same), QELT_S_OK);
  EXPECT_EQ(same, item);
  EXPECT_EQ(o->vtbl->Release(o), 1u);
  EXPECT_EQ(factory->vtbl->Release(factory), 0u);
  EXPECT_EQ(o->vtbl->Release(o), 0u);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);
}

// The library may unload only once every object, factory and lock is gone.
TEST_F(ServerLibrary, CanUnloadNowFollowsTheLastRelease) {
  ASSERT_EQ(canUnloadNow(), QELT_S_OK);
  QeltClassFactory* factory = Factory(kUploadFileClassId);
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(canUnloadNow(), QELT_S_FALSE);
  EXPECT_EQ(factory->vtbl->LockServer(factory, 1), QELT_S_OK);
  EXPECT_EQ(factory->vtbl->Release(factory), 0u);
  EXPECT_EQ(canUnloadNow(), QELT_S_FALSE);  // locked
  QeltDispatch* upload = Create(kUploadFileClassId);
  ASSERT_NE(upload, nullptr);
  factory = Factory(kUploadFileClassId);
  EXPECT_EQ(factory->vtbl->LockServer(factory, 0), QELT_S_OK);
  factory->vtbl->Release(factory);
  EXPECT_EQ(canUnloadNow(), QELT_S_FALSE);  // the object is alive

  // An object handed out by a call holds on too.
  QeltVariant form{};
  ASSERT_EQ(upload->vtbl->Invoke(upload, Id(upload, "Form"), QELT_DISPATCH_PROPERTYGET, nullptr, 0, &form, nullptr),
            QELT_S_OK);
  ASSERT_EQ(form.type, QELT_VT_OBJECT);
  EXPECT_EQ(upload->vtbl->Release(upload), 0u);
  EXPECT_EQ(takeReleaseError(nullptr), QELT_S_FALSE);
  EXPECT_EQ(canUnloadNow(), QELT_S_FALSE);
  variantClear(&form);
  EXPECT_EQ(form.type, QELT_VT_EMPTY);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);
}

TEST_F(ServerLibrary, LateBoundCallsCarryValuesAndErrors) {
  QeltDispatch* upload = Create(kUploadFileClassId);
  ASSERT_NE(upload, nullptr);
  EXPECT_EQ(Id(upload, "MAXFILESIZE"), 0x68030002);
  int32_t id = 0;
  EXPECT_EQ(upload->vtbl->GetIDOfName(upload, "NoSuchMember", &id), QELT_DISP_E_UNKNOWNNAME);

  // A raised error arrives with its three parts.
  QeltVariant got{};
  QeltErrorInfo error{};
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "storeUploadedFiles"), QELT_DISPATCH_METHOD, nullptr, 0, &got,
                                 &error),
            QELT_DISP_E_EXCEPTION);
  EXPECT_EQ(got.type, QELT_VT_EMPTY);
  EXPECT_EQ(error.number, -2147221003);
  EXPECT_STREQ(error.source, "qeltUpload.dll");
  EXPECT_STREQ(error.description,
               "Directory Cannot be empty. Please set directory using setUploadDirectory function.");
  errorClear(&error);
  EXPECT_EQ(error.source, nullptr);

  // A put, then the get: integers and texts (with an embedded NUL) arrive whole.
  QeltVariant size = Integer(-7);
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "MaxFileSize"), QELT_DISPATCH_PROPERTYPUT, &size, 1, nullptr,
                                 nullptr),
            QELT_S_OK);
  EXPECT_EQ(upload->vtbl->Invoke(upload, 0x68030002, QELT_DISPATCH_METHOD | QELT_DISPATCH_PROPERTYGET, nullptr, 0,
                                 &got, nullptr),
            QELT_S_OK);
  EXPECT_EQ(got.type, QELT_VT_I4);
  EXPECT_EQ(got.integer, -7);
  const std::string dir("/tmp/a\0b", 8);
  QeltVariant text = Text(dir);
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "UploadDirectory"), QELT_DISPATCH_PROPERTYPUT, &text, 1,
                                 nullptr, nullptr),
            QELT_S_OK);
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "UploadDirectory"), QELT_DISPATCH_PROPERTYGET, nullptr, 0, &got,
                                 nullptr),
            QELT_S_OK);
  ASSERT_EQ(got.type, QELT_VT_TEXT);
  EXPECT_EQ(std::string(got.text, got.textLength), dir + "\\");
  variantClear(&got);
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "UploadAllFilesOrNone"), QELT_DISPATCH_PROPERTYGET, nullptr, 0,
                                 &got, nullptr),
            QELT_S_OK);
  EXPECT_EQ(got.type, QELT_VT_BOOL);
  EXPECT_EQ(got.integer, -1);

  QeltVariant badArgs[2] = {Integer(1), Integer(2)};
  EXPECT_EQ(upload->vtbl->Invoke(upload, Id(upload, "MaxFileSize"), QELT_DISPATCH_PROPERTYPUT, badArgs, 2, nullptr,
                                 &error),
            QELT_DISP_E_EXCEPTION);
  EXPECT_EQ(error.number, 450);
  EXPECT_STREQ(error.source, "qelt_parcelmoor");
  EXPECT_STREQ(error.description, "Wrong number of arguments or invalid property assignment");
  errorClear(&error);

  // An object passed in comes back: an item set into a collection read back.
  QeltVariant form{};
  ASSERT_EQ(upload->vtbl->Invoke(upload, Id(upload, "Form"), QELT_DISPATCH_PROPERTYGET, nullptr, 0, &form, nullptr),
            QELT_S_OK);
  QeltDispatch* item = Create(kFormItemClassId);
  QeltVariant addArgs[2] = {{}, Text("f1")};
  addArgs[0].type = QELT_VT_OBJECT;
  addArgs[0].object = item;
  ASSERT_EQ(form.object->vtbl->Invoke(form.object, Id(form.object, "Add"), QELT_DISPATCH_METHOD, addArgs, 2,
                                      nullptr, nullptr),
            QELT_S_OK);
  QeltVariant key = Text("F1");
  QeltVariant back{};
  ASSERT_EQ(form.object->vtbl->Invoke(form.object, 0, QELT_DISPATCH_PROPERTYGET, &key, 1, &back, nullptr), QELT_S_OK);
  ASSERT_EQ(back.type, QELT_VT_OBJECT);
  EXPECT_EQ(Id(back.object, "getFileName"), 0x60030009);
  variantClear(&back);
  item->vtbl->Release(item);
  variantClear(&form);

  EXPECT_EQ(upload->vtbl->Release(upload), 0u);
  EXPECT_EQ(canUnloadNow(), QELT_S_OK);
}

}  // namespace
}  // namespace parcelmoor
