#include "component/class_factory.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "form/form_item.h"
#include "runtime/dispatch.h"
#include "component/registration.h"
#include "upload/upload_file.h"
#include "support/raised.h"

namespace parcelmoor {
namespace {

using testing::RaisedNumber;

TEST(GuidTest, TextFormRoundTrips) {
  const Guid ids[] = {kLibraryId, kUploadFileClassId, kFormItemClassId, kUploadFileInterfaceId,
                      kFormItemInterfaceId};
  std::set<std::string> seen;
  for (const Guid& id : ids) {
    std::string text = GuidToString(id);
    ASSERT_EQ(text.size(), 38u);
    EXPECT_EQ(GuidFromString(text), id) << text;
    EXPECT_EQ(GuidFromString(text.substr(1, 36)), id) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 5u) << "identifiers must be distinct";

  Guid unknown{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(GuidToString(unknown), "{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidFromString("{00000001-0000-0000-c000-000000000046}"), unknown);
  for (const char* bad : {"", "{00000001-0000-0000-C000-000000000046", "00000001-0000-0000-C000-00000000004G",
                          "00000001+0000-0000-C000-000000000046", "{00000001-0000-0000-C000-0000000000460}"})
    EXPECT_EQ(GuidFromString(bad), std::nullopt) << bad;
}

TEST(ClassFactoryTest, FactoriesByIdentifierCreateTheirClass) {
  auto uploads = GetClassFactory(kUploadFileClassId);
  auto items = GetClassFactory(kFormItemClassId);
  ASSERT_TRUE(uploads && items);
  EXPECT_NE(std::dynamic_pointer_cast<UploadFile>(uploads->CreateInstance()), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<FormItem>(items->CreateInstance()), nullptr);
  EXPECT_NE(uploads->CreateInstance(), uploads->CreateInstance());  // a new object each time
  EXPECT_EQ(GetClassFactory(kUploadFileInterfaceId), nullptr);      // an interface is no class
  EXPECT_EQ(GetClassFactory(kLibraryId), nullptr);
}

// Factories and objects count as alive; a server lock keeps the library too.
TEST(ClassFactoryTest, FactoriesAndObjectsKeepTheLibraryLoaded) {
  const int64_t before = Object::LiveObjects();
  auto factory = GetClassFactory(kUploadFileClassId);
  EXPECT_EQ(Object::LiveObjects(), before + 1);
  EXPECT_FALSE(CanUnloadNow());
  ObjectRef upload = factory->CreateInstance();
  factory.reset();
  EXPECT_EQ(Object::LiveObjects(), before + 1);
  EXPECT_FALSE(CanUnloadNow());
  ReleaseObject(upload);
  EXPECT_EQ(Object::LiveObjects(), before);

  ClassFactory::LockServer(true);
  EXPECT_FALSE(CanUnloadNow());
  ClassFactory::LockServer(false);
  EXPECT_EQ(CanUnloadNow(), before == 0);
}

class RegistrationTest : public ::testing::Test {
 protected:
  // Other tests rely on the library being registered, as a host leaves it.
  void TearDown() override { RegisterServer(); }
};

TEST_F(RegistrationTest, CreationByClassNameFollowsTheClassTable) {
  RegisterServer("/opt/lib/qelt_parcelmoor.so");
  struct Row {
    const char* progId;
    bool upload;
  };
  for (Row r : {Row{"qelt_parcelmoor.UploadFile", true}, Row{"QELT_PARCELMOOR.UPLOADFILE", true},
                Row{"qelt_parcelmoor.formitem", false}}) {
    ObjectRef o = CreateObject(r.progId);
    EXPECT_EQ(std::dynamic_pointer_cast<UploadFile>(o) != nullptr, r.upload) << r.progId;
    EXPECT_EQ(std::dynamic_pointer_cast<FormItem>(o) != nullptr, !r.upload) << r.progId;
  }
  for (const char* unknown : {"qelt_parcelmoor.StringTokenizer", "qelt_parcelmoor.UploadFile ", "UploadFile", ""})
    EXPECT_EQ(RaisedNumber([&] { CreateObject(unknown); }), errnum::kCannotCreateObject) << unknown;

  UnregisterServer();
  EXPECT_EQ(RaisedNumber([&] { CreateObject("qelt_parcelmoor.UploadFile"); }), errnum::kCannotCreateObject);
  EXPECT_EQ(ClassIdFromProgId("qelt_parcelmoor.FormItem"), std::nullopt);
  // The factories stay reachable by identifier.
  EXPECT_NE(GetClassFactory(kFormItemClassId), nullptr);
  RegisterServer();
  EXPECT_EQ(ClassIdFromProgId("Qelt_Parcelmoor.FormItem"), kFormItemClassId);
}

TEST_F(RegistrationTest, RegistrationRecordsLibraryClassesAndInterfacesOnce) {
  RegisterServer("/opt/lib/qelt_parcelmoor.so");
  RegisterServer("/opt/lib/qelt_parcelmoor.so");  // again: replaces, never duplicates
  Registrations r = RegisteredEntries();
  ASSERT_EQ(r.typeLibraries.size(), 1u);
  EXPECT_EQ(r.typeLibraries[0].name, "qelt_parcelmoor");
  EXPECT_EQ(r.typeLibraries[0].libraryId, kLibraryId);
  EXPECT_EQ(r.typeLibraries[0].version, "1.0");
  EXPECT_EQ(r.typeLibraries[0].locale, 0x409u);
  ASSERT_EQ(r.classes.size(), 2u);
  EXPECT_EQ(r.classes[0].progId, "qelt_parcelmoor.UploadFile");
  EXPECT_EQ(r.classes[0].classId, kUploadFileClassId);
  EXPECT_EQ(r.classes[1].progId, "qelt_parcelmoor.FormItem");
  EXPECT_EQ(r.classes[1].classId, kFormItemClassId);
  for (const ClassRecord& c : r.classes) {
    EXPECT_EQ(c.serverPath, "/opt/lib/qelt_parcelmoor.so");
    EXPECT_EQ(c.threadingModel, "Apartment");
    EXPECT_EQ(c.version, "1.0");
  }
  ASSERT_EQ(r.interfaces.size(), 2u);
  EXPECT_EQ(r.interfaces[0].name, "_UploadFile");
  EXPECT_EQ(r.interfaces[0].interfaceId, kUploadFileInterfaceId);
  EXPECT_EQ(r.interfaces[1].name, "_FormItem");
  EXPECT_EQ(r.interfaces[1].interfaceId, kFormItemInterfaceId);

  UnregisterServer();
  r = RegisteredEntries();
  EXPECT_TRUE(r.typeLibraries.empty() && r.classes.empty() && r.interfaces.empty());
}

}  // namespace
}  // namespace parcelmoor
