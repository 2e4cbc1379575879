#include "runtime/member_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "form/form_item.h"
#include "runtime/collection.h"
#include "runtime/dispatch.h"
#include "host/memory_host.h"
#include "support/upload_harness.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr InvokeKind kGet = InvokeKind::kPropertyGet;
constexpr InvokeKind kPut = InvokeKind::kPropertyPut;
constexpr InvokeKind kPutRef = InvokeKind::kPropertyPutRef;
constexpr InvokeKind kMethod = InvokeKind::kMethod;

struct Published {
  const char* name;
  InvokeKind kind;
  DispId id;
};

// The published interfaces, in interface order. These numbers are what
// compiled scripts and hosts hold on to: they never change.
const std::vector<Published> kUploadFileInterface = {
    {"Form", kGet, 0x40030010},
    {"Form", kPutRef, 0x40030010},
    {"storeUploadedFiles", kMethod, 0x60030004},
    {"OnStartPage", kMethod, 0x6003000A},
    {"DeleteMaxFile", kPut, 0x68030003},
    {"DeleteMaxFile", kGet, 0x68030003},
    {"MaxFileSize", kPut, 0x68030002},
    {"MaxFileSize", kGet, 0x68030002},
    {"UploadDirectory", kPut, 0x68030001},
    {"UploadDirectory", kGet, 0x68030001},
    {"UploadAllFilesOrNone", kGet, 0x68030000},
    {"UploadAllFilesOrNone", kPut, 0x68030000},
    // Added after the published ones: limits that are off unless put.
    {"MaxFieldSize", kPut, 0x68030004},
    {"MaxFieldSize", kGet, 0x68030004},
    {"MaxParts", kPut, 0x68030005},
    {"MaxParts", kGet, 0x68030005},
    {"SkipEmptyFileInputs", kPut, 0x68030006},
    {"SkipEmptyFileInputs", kGet, 0x68030006},
    {"MaxTotalFieldSize", kPut, 0x68030007},
    {"MaxTotalFieldSize", kGet, 0x68030007},
    {"FileRecords", kGet, 0x68030008},
    {"UploadOutcome", kGet, 0x68030009},
};
const std::vector<Published> kFormItemInterface = {
    {"extractCDHeader", kMethod, 0x60030001},  {"Name", kMethod, 0x60030002},
    {"Value", kMethod, 0},                     {"isMultipleValues", kMethod, 0x60030003},
    {"setValue", kMethod, 0x60030004},         {"MultipleValues", kMethod, 0x60030005},
    {"isElementFile", kMethod, 0x60030006},    {"getFileSize", kMethod, 0x60030007},
    {"setFileSize", kMethod, 0x60030008},      {"getFileName", kMethod, 0x60030009},
    {"getCompleteFilePath", kMethod, 0x6003000A},
};
const std::vector<Published> kCollectionInterface = {
    {"Item", kMethod, 0}, {"Add", kMethod, 1}, {"Count", kMethod, 2}, {"Remove", kMethod, 3}};

std::string Flip(std::string_view s, bool upper) {
  std::string out(s);
  for (char& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

struct ClassSurface {
  const char* className;
  std::span<const MemberSlot> table;
  const std::vector<Published>* published;
  ObjectRef (*make)();
};

const ClassSurface kSurfaces[] = {
    {"UploadFile", UploadFileMembers(), &kUploadFileInterface, [] { return ObjectRef(UploadFile::Create()); }},
    {"FormItem", FormItemMembers(), &kFormItemInterface, [] { return ObjectRef(FormItem::Create()); }},
    {"Collection", CollectionMembers(), &kCollectionInterface, [] { return ObjectRef(Collection::Create()); }},
};

TEST(MemberTableTest, TablesAreThePublishedInterfacesInOrder) {
  for (const ClassSurface& s : kSurfaces) {
    ASSERT_EQ(s.table.size(), s.published->size()) << s.className;
    for (size_t i = 0; i < s.table.size(); ++i) {
      const Published& p = (*s.published)[i];
      EXPECT_EQ(s.table[i].name, p.name) << s.className << " row " << i;
      EXPECT_EQ(s.table[i].kind, p.kind) << s.className << " " << p.name;
      EXPECT_EQ(s.table[i].id, p.id) << s.className << " " << p.name;
    }
  }
}

// Every member's identifier round-trips through its name, in any letter case,
// on a live object through the dispatch layer; and each identifier belongs to
// one name only.
TEST(MemberTableTest, EveryIdentifierRoundTripsThroughItsName) {
  for (const ClassSurface& s : kSurfaces) {
    ObjectRef object = s.make();
    for (const MemberSlot& slot : s.table) {
      SCOPED_TRACE(std::string(s.className) + "." + std::string(slot.name));
      EXPECT_EQ(GetIDOfName(object, slot.name), slot.id);
      EXPECT_EQ(GetIDOfName(object, Flip(slot.name, true)), slot.id);
      EXPECT_EQ(GetIDOfName(object, Flip(slot.name, false)), slot.id);
      for (const MemberSlot& other : s.table) {
        if (other.id == slot.id) {
          EXPECT_EQ(other.name, slot.name);
        }
      }
      // The row found for the identifier and kind is this row.
      EXPECT_EQ(&FindSlot(s.table, slot.id, slot.kind, slot.maxArgs()), &slot);
    }
  }
}

bool HasType(const Variant& v, ValueType type) {
  switch (type) {
    case ValueType::kNone:
      return v.isEmpty();
    case ValueType::kInteger:
      return v.isInteger();
    case ValueType::kBoolean:
      return v.isBoolean();
    case ValueType::kText:
      return v.isText();
    case ValueType::kCollection:
      return v.isObject() && std::dynamic_pointer_cast<Collection>(v.asObject()) != nullptr;
    case ValueType::kScriptingContext:
      return v.isObject() && std::dynamic_pointer_cast<ScriptingContext>(v.asObject()) != nullptr;
    case ValueType::kAny:
      return true;
  }
  return false;
}

// Every member without parameters gives a result of the type its row says,
// called as a method and as a property get alike.
TEST(MemberTableTest, ResultsHaveTheDeclaredTypes) {
  testing::TempDir dir;
  auto upload = UploadFile::Create();
  upload->OnStartPage(MemoryHost::FromBytes(testing::Body({testing::Field("t", "v")})));
  upload->put_UploadDirectory(dir.str());
  auto item = FormItem::Create();
  const std::pair<const char*, ObjectRef> objects[] = {
      {"UploadFile", upload}, {"FormItem", item}, {"Collection", Collection::Create()}};
  for (const auto& [className, object] : objects) {
    std::span<const MemberSlot> table = className == std::string("UploadFile") ? UploadFileMembers()
                                        : className == std::string("FormItem") ? FormItemMembers()
                                                                               : CollectionMembers();
    for (const MemberSlot& slot : table) {
      if (slot.minArgs() != 0 || slot.kind == kPut || slot.kind == kPutRef) continue;
      SCOPED_TRACE(std::string(className) + "." + std::string(slot.name));
      EXPECT_TRUE(HasType(Invoke(object, slot.id, kMethod), slot.result));
      EXPECT_TRUE(HasType(Invoke(object, slot.id, kGet), slot.result));
    }
  }
}

// Each put stores what the matching get reads back, through the declared
// parameter type.
TEST(MemberTableTest, PutsReadBackThroughTheirGets) {
  struct Row {
    const char* name;
    Variant put;
    Variant get;
  };
  const Row rows[] = {
      {"MaxFileSize", 0, 0},
      {"MaxFileSize", -5, -5},
      {"MaxFileSize", "2147483647", 2147483647},
      {"DeleteMaxFile", Variant::Bool(kTrue), Variant::Bool(kTrue)},
      {"DeleteMaxFile", 5, Variant::Bool(5)},
      {"DeleteMaxFile", "True", Variant::Bool(kTrue)},
      {"UploadAllFilesOrNone", Variant::Bool(kFalse), Variant::Bool(kFalse)},
      {"UploadAllFilesOrNone", Variant(), Variant::Bool(kFalse)},
      {"UploadDirectory", " /srv/up ", "/srv/up\\"},
      {"UploadDirectory", 12, "12\\"},
      {"MaxFieldSize", "1048576", 1048576},
      {"MaxParts", 10000, 10000},
      {"SkipEmptyFileInputs", "True", Variant::Bool(kTrue)},
      {"MaxTotalFieldSize", "10485760", 10485760},
  };
  ObjectRef upload = UploadFile::Create();
  for (const Row& r : rows) {
    Invoke(upload, GetIDOfName(upload, r.name), kPut, {r.put});
    EXPECT_EQ(Invoke(upload, GetIDOfName(upload, r.name), kGet), r.get) << r.name << " = " << r.put.asText();
  }
}

}  // namespace
}  // namespace parcelmoor
