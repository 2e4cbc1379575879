#include "runtime/dispatch.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "form/form_item.h"
#include "runtime/collection.h"
#include "host/memory_host.h"
#include "component/registration.h"
#include "upload/upload_errors.h"
#include "storage/temporaries.h"
#include "support/upload_harness.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

using testing::Body;
using testing::Field;
using testing::File;
using testing::TempDir;

constexpr InvokeKind kGet = InvokeKind::kPropertyGet;
constexpr InvokeKind kPut = InvokeKind::kPropertyPut;
constexpr InvokeKind kPutRef = InvokeKind::kPropertyPutRef;
constexpr InvokeKind kMethod = InvokeKind::kMethod;

std::optional<RaisedError> ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const RaisedError& e) {
    return e;
  }
  return std::nullopt;
}

void ExpectSameError(const std::optional<RaisedError>& got, const std::optional<RaisedError>& want) {
  ASSERT_TRUE(want.has_value());
  ASSERT_TRUE(got.has_value()) << "nothing raised; want " << want->what();
  EXPECT_EQ(got->number(), want->number());
  EXPECT_EQ(got->source(), want->source());
  EXPECT_EQ(got->description(), want->description());
}

ObjectRef Nothing() { return ObjectRef(); }

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterServer(); }
};

// The road of one request, as a page script drives it: nothing but names.
TEST_F(DispatchTest, OneRequestDrivenOnlyByName) {
  TempDir dir;
  auto host = MemoryHost::FromBytes(Body({Field("t", "hello"), File("f1", "C:\\dir\\a.txt", "file bytes")}));
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  CallByName(upload, "OnStartPage", kMethod, {host});
  CallByName(upload, "UploadDirectory", kPut, {dir.str()});
  CallByName(upload, "MaxFileSize", kPut, {1000});
  CallByName(upload, "DeleteMaxFile", kPut, {Variant::Bool(kTrue)});
  EXPECT_EQ(CallByName(upload, "storeUploadedFiles", kMethod), Variant(1));
  // The whole body arrived: the flag reads false, as the automation Boolean 0.
  EXPECT_EQ(CallByName(upload, "UploadAllFilesOrNone", kGet), Variant::Bool(kFalse));

  ObjectRef form = CallByName(upload, "Form", kGet).asObject();
  EXPECT_EQ(CallByName(form, "Count", kGet), Variant(2));
  ObjectRef f1 = CallByName(form, "Item", kMethod, {"f1"}).asObject();
  EXPECT_EQ(CallByName(f1, "getFileName", kMethod), Variant("a.txt"));
  EXPECT_EQ(CallByName(f1, "isElementFile", kMethod), Variant::Bool(kTrue));
  EXPECT_EQ(CallByName(f1, "getFileSize", kMethod), Variant(10));
  // The item used without a member name is its Value: for a file, the client path.
  ObjectRef f1Values = Invoke(f1, kDispIdValue, kGet).asObject();
  EXPECT_EQ(Invoke(f1Values, kDispIdValue, kGet, {1}), Variant("C:\\dir\\a.txt"));
  // The collection's default member is Item, by key or number.
  ObjectRef t = Invoke(form, kDispIdValue, kGet, {"T"}).asObject();
  EXPECT_EQ(Invoke(Invoke(t, kDispIdValue, kMethod).asObject(), kDispIdValue, kMethod, {1}), Variant("hello"));
  EXPECT_EQ(Invoke(form, kDispIdValue, kGet, {1}), Variant(t));

  form.reset();
  ReleaseObject(upload);
  EXPECT_EQ(upload, nullptr);
  // Received in full: the stored file stays after the release.
  EXPECT_EQ(testing::ReadFile(dir.path() / "a.txt"), "file bytes");
}

TEST_F(DispatchTest, ReleasingTheLastReferenceRunsTermination) {
  TempDir dir;
  std::string body = Body({File("f1", "a.txt", std::string(100, 'x'))}, /*closed=*/false);
  MemoryHostOptions announcesMore;
  announcesMore.totalBytes = 100000;
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  CallByName(upload, "OnStartPage", kMethod, {MemoryHost::FromBytes(body, announcesMore)});
  CallByName(upload, "UploadDirectory", kPut, {dir.str()});
  CallByName(upload, "storeUploadedFiles", kMethod);
  ASSERT_EQ(testing::Temporaries(dir.str()).size(), 1u);  // not committed: the body is not whole

  // A second holder keeps the object (and its files) alive.
  ObjectRef second = upload;
  ReleaseObject(upload);
  EXPECT_EQ(upload, nullptr);
  EXPECT_EQ(testing::Temporaries(dir.str()).size(), 1u);
  // The last one ends it: the upload was cut short, so its file goes.
  ReleaseObject(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(testing::Temporaries(dir.str()).empty());
  EXPECT_TRUE(dir.Files().empty());
}

// Form holding an entry that is not a form item makes the form reset at
// termination raise; the releasing caller gets that error as release() gives it.
TEST_F(DispatchTest, TerminationErrorGoesToTheReleasingCaller) {
  auto makeUpload = [] {
    ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
    ObjectRef col = Collection::Create();
    CallByName(col, "Add", kMethod, {"not an item"});
    CallByName(upload, "Form", kPutRef, {col});
    return upload;
  };
  ObjectRef twin = makeUpload();
  auto want = ErrorOf([&] { std::static_pointer_cast<UploadFile>(twin)->release(); });

  ObjectRef upload = makeUpload();
  auto got = ErrorOf([&] { ReleaseObject(upload); });
  ExpectSameError(got, want);
  EXPECT_EQ(upload, nullptr);
}

TEST_F(DispatchTest, RaisedErrorsCrossUnchanged) {
  // The component's own error, with its source of its own.
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  auto err = ErrorOf([&] { CallByName(upload, "storeUploadedFiles", kMethod); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->number(), uploaderr::kDirectoryEmpty);
  EXPECT_EQ(err->source(), "qeltUpload.dll");
  EXPECT_EQ(err->description(),
            "Directory Cannot be empty. Please set directory using setUploadDirectory function.");

  // A wrapped error of the form item: the same three parts as the C++ call.
  const std::string header = "Content-Disposition: form-data; name=\"a\"";
  auto want = ErrorOf([&] { FormItem::Create()->extractCDHeader(header, nullptr); });
  ObjectRef item = CreateObject("qelt_parcelmoor.FormItem");
  ExpectSameError(ErrorOf([&] { CallByName(item, "extractCDHeader", kMethod, {header, Nothing()}); }), want);
  EXPECT_EQ(want->source(), "UploadedItem");
}

TEST_F(DispatchTest, CallsByNameMatchTheCppCalls) {
  TempDir dir;
  auto cpp = UploadFile::Create();
  ObjectRef named = CreateObject("qelt_parcelmoor.UploadFile");
  struct Put {
    const char* name;
    Variant value;
    std::function<void(UploadFile&)> cppPut;
  };
  const Put puts[] = {
      {"UploadDirectory", "  /tmp/x  ", [](UploadFile& u) { u.put_UploadDirectory("  /tmp/x  "); }},
      {"UploadDirectory", "   ", [](UploadFile& u) { u.put_UploadDirectory("   "); }},
      {"MaxFileSize", "  -42 ", [](UploadFile& u) { u.put_MaxFileSize(-42); }},
      {"MaxFileSize", Variant::Bool(kTrue), [](UploadFile& u) { u.put_MaxFileSize(-1); }},
      {"DeleteMaxFile", 5, [](UploadFile& u) { u.put_DeleteMaxFile(5); }},
      {"UploadAllFilesOrNone", "False", [](UploadFile& u) { u.put_UploadAllFilesOrNone(kFalse); }},
      {"UploadAllFilesOrNone", 7, [](UploadFile& u) { u.put_UploadAllFilesOrNone(7); }},
  };
  for (const Put& p : puts) {
    p.cppPut(*cpp);
    CallByName(named, p.name, kPut, {p.value});
    EXPECT_EQ(CallByName(named, p.name, kGet), Invoke(cpp, GetIDOfName(cpp, p.name), kGet)) << p.name;
  }
  auto& u = static_cast<UploadFile&>(*named);
  EXPECT_EQ(u.get_MaxFileSize(), -1);
  EXPECT_EQ(u.get_DeleteMaxFile(), 5);  // stored as passed
  EXPECT_EQ(CallByName(named, "DeleteMaxFile", kGet), Variant::Bool(5));
  EXPECT_EQ(u.get_UploadAllFilesOrNone(), 7);
  EXPECT_EQ(u.get_UploadDirectory(), "");

  // OnStartPage with no context, or an empty one, changes nothing and raises nothing.
  CallByName(named, "UploadDirectory", kPut, {dir.str()});
  CallByName(named, "OnStartPage", kMethod, {Nothing()});
  CallByName(named, "OnStartPage", kMethod, {Variant()});
  EXPECT_EQ(u.get_UploadDirectory(), dir.str() + "\\");
  // With a context it empties the directory, as the C++ call does.
  CallByName(named, "OnStartPage", kMethod, {MemoryHost::FromBytes("")});
  EXPECT_EQ(u.get_UploadDirectory(), "");
}

TEST_F(DispatchTest, FormMembersByName) {
  ObjectRef item = CreateObject("QELT_PARCELMOOR.FORMITEM");
  ObjectRef form = Collection::Create();
  const std::string header = "Content-Disposition: form-data; name=\"f1\"; filename=\"C:\\dir\\a.txt\"";
  EXPECT_EQ(CallByName(item, "extractCDHeader", kMethod, {header, form}), Variant(0));
  EXPECT_EQ(CallByName(item, "NAME", kMethod), Variant("f1"));
  EXPECT_EQ(CallByName(item, "getCompleteFilePath", kGet), Variant("C:\\dir\\a.txt"));
  CallByName(form, "Add", kMethod, {item, "f1"});
  ObjectRef again = CreateObject("qelt_parcelmoor.FormItem");
  EXPECT_EQ(CallByName(again, "extractCDHeader", kMethod, {header, form}), Variant(1));
  EXPECT_EQ(CallByName(item, "isMultipleValues", kMethod), Variant::Bool(kTrue));

  EXPECT_EQ(CallByName(item, "setValue", kMethod, {"ab"}), Variant(0));
  EXPECT_EQ(CallByName(item, "setValue", kMethod, {"cd"}), Variant(0));
  ObjectRef values = CallByName(item, "Value", kMethod).asObject();
  EXPECT_EQ(CallByName(values, "Count", kMethod), Variant(2));
  EXPECT_EQ(CallByName(values, "Item", kMethod, {2}), Variant("cd"));
  CallByName(values, "Remove", kMethod, {1});
  EXPECT_EQ(Invoke(values, kDispIdValue, kGet, {1}), Variant("cd"));

  CallByName(item, "setFileSize", kMethod, {"12"});
  EXPECT_EQ(CallByName(item, "getFileSize", kMethod), Variant(12));

  // A plain field: the null entry Value adds, told apart from empty text.
  ObjectRef field = CreateObject("qelt_parcelmoor.FormItem");
  EXPECT_EQ(Invoke(Invoke(field, kDispIdValue, kGet).asObject(), kDispIdValue, kGet, {1}), Variant::Null());
  EXPECT_EQ(CallByName(field, "isElementFile", kMethod), Variant::Bool(kFalse));
}

TEST_F(DispatchTest, CollectionAddTakesAnOptionalKey) {
  ObjectRef col = Collection::Create();
  CallByName(col, "Add", kMethod, {"first"});
  CallByName(col, "Add", kMethod, {"second", Variant()});  // an empty key is a key left out
  CallByName(col, "Add", kMethod, {"third", "K"});
  EXPECT_EQ(CallByName(col, "Count", kGet), Variant(3));
  EXPECT_EQ(CallByName(col, "Item", kMethod, {"k"}), Variant("third"));
  auto err = ErrorOf([&] { CallByName(col, "Add", kMethod, {"again", "k"}); });
  ASSERT_TRUE(err);
  EXPECT_EQ(err->number(), errnum::kDuplicateKey);
  EXPECT_EQ(CallByName(col, "Count", kGet), Variant(3));
}

// Form is read, or replaced by an object reference; processing empties and
// drops a collection assigned before it and fills a new one.
TEST_F(DispatchTest, CollectionAssignedToFormIsEmptiedAndDroppedByProcessing) {
  TempDir dir;
  ObjectRef upload = CreateObject("qelt_parcelmoor.UploadFile");
  ObjectRef mine = Collection::Create();
  ObjectRef oldItem = CreateObject("qelt_parcelmoor.FormItem");
  CallByName(mine, "Add", kMethod, {oldItem, "old"});
  CallByName(upload, "Form", kPutRef, {mine});
  EXPECT_EQ(CallByName(upload, "Form", kGet), Variant(mine));

  CallByName(upload, "OnStartPage", kMethod, {MemoryHost::FromBytes(Body({Field("t", "v")}))});
  CallByName(upload, "UploadDirectory", kPut, {dir.str()});
  CallByName(upload, "storeUploadedFiles", kMethod);

  EXPECT_EQ(CallByName(mine, "Count", kGet), Variant(0));
  ObjectRef form = CallByName(upload, "Form", kGet).asObject();
  EXPECT_NE(form, mine);
  EXPECT_EQ(CallByName(form, "Count", kGet), Variant(1));
  EXPECT_EQ(CallByName(CallByName(form, "Item", kGet, {1}).asObject(), "Name", kGet), Variant("t"));

  // Assigning nothing drops the collection; the next read makes an empty one.
  CallByName(upload, "Form", kPutRef, {Nothing()});
  ObjectRef fresh = CallByName(upload, "Form", kGet).asObject();
  EXPECT_NE(fresh, form);
  EXPECT_EQ(CallByName(fresh, "Count", kGet), Variant(0));
}

struct BadCall {
  const char* why;
  const char* progId;  // nullptr: a Collection
  std::optional<std::string> name;
  DispId id;  // used when `name` is empty
  InvokeKind kind;
  std::vector<Variant> args;
  int32_t number;
};

TEST_F(DispatchTest, WrongCallsRaiseTheRuntimeNumbers) {
  ObjectRef aCollection = Collection::Create();
  ObjectRef anItem = FormItem::Create();
  const std::string up = "qelt_parcelmoor.UploadFile";
  const std::string fi = "qelt_parcelmoor.FormItem";
  const BadCall calls[] = {
      {"argument to a method without parameters", up.c_str(), "storeUploadedFiles", 0, kMethod, {1}, 450},
      {"property put without a value", up.c_str(), "MaxFileSize", 0, kPut, {}, 450},
      {"property put with two values", up.c_str(), "MaxFileSize", 0, kPut, {1, 2}, 450},
      {"property get with an argument", up.c_str(), "MaxFileSize", 0, kGet, {1}, 450},
      {"text that is not a number", up.c_str(), "MaxFileSize", 0, kPut, {"12abc"}, 13},
      {"number past 32 bits", up.c_str(), "MaxFileSize", 0, kPut, {"4294967296"}, errnum::kOverflow},
      {"null as a number", up.c_str(), "MaxFileSize", 0, kPut, {Variant::Null()}, errnum::kInvalidUseOfNull},
      {"object as a Boolean", up.c_str(), "DeleteMaxFile", 0, kPut, {aCollection}, 13},
      {"null as text", up.c_str(), "UploadDirectory", 0, kPut, {Variant::Null()}, errnum::kInvalidUseOfNull},
      {"plain put of Form", up.c_str(), "Form", 0, kPut, {aCollection}, 438},
      {"Form set to a value", up.c_str(), "Form", 0, kPutRef, {5}, 424},
      {"Form set to a form item", up.c_str(), "Form", 0, kPutRef, {anItem}, 13},
      {"put by reference of a plain property", up.c_str(), "MaxFileSize", 0, kPutRef, {aCollection}, 438},
      {"context that is text", up.c_str(), "OnStartPage", 0, kMethod, {"ctx"}, 13},
      {"context of another class", up.c_str(), "OnStartPage", 0, kMethod, {aCollection}, 13},
      {"put to a method", up.c_str(), "storeUploadedFiles", 0, kPut, {1}, 438},
      {"unknown name", up.c_str(), "storeUploadedFile", 0, kMethod, {}, 438},
      {"empty name", up.c_str(), "", 0, kMethod, {}, 438},
      {"name with trailing blank", up.c_str(), "Form ", 0, kGet, {}, 438},
      {"unknown identifier", up.c_str(), std::nullopt, 0x60030005, kMethod, {}, 438},
      {"no default member", up.c_str(), std::nullopt, kDispIdValue, kGet, {}, 438},
      {"Value takes no index", fi.c_str(), std::nullopt, kDispIdValue, kGet, {1}, 450},
      {"put to the default member", fi.c_str(), std::nullopt, kDispIdValue, kPut, {1}, 438},
      {"collection where text is wanted", fi.c_str(), "setValue", 0, kMethod, {aCollection}, 13},
      {"number not a collection", fi.c_str(), "extractCDHeader", 0, kMethod, {"h", 3}, 13},
      {"one argument of two", fi.c_str(), "extractCDHeader", 0, kMethod, {"h"}, 450},
      {"size that is not a number", fi.c_str(), "setFileSize", 0, kMethod, {"big"}, 13},
      {"member of another class", fi.c_str(), "Form", 0, kGet, {}, 438},
      {"Item without an index", nullptr, "Item", 0, kMethod, {}, 450},
      {"Add with a third argument", nullptr, "Add", 0, kMethod, {1, "k", 2}, 450},
      {"Item of a missing key", nullptr, std::nullopt, kDispIdValue, kGet, {"nope"}, 5},
      {"Count as a put", nullptr, "Count", 0, kPut, {1}, 438},
      {"identifier past the table", nullptr, std::nullopt, 4, kMethod, {}, 438},
  };
  for (const BadCall& c : calls) {
    ObjectRef target = c.progId ? CreateObject(c.progId) : ObjectRef(Collection::Create());
    auto err = ErrorOf([&] {
      if (c.name) {
        CallByName(target, *c.name, c.kind, c.args);
      } else {
        Invoke(target, c.id, c.kind, c.args);
      }
    });
    ASSERT_TRUE(err) << c.why;
    EXPECT_EQ(err->number(), c.number) << c.why << ": " << err->what();
    EXPECT_EQ(err->source(), kComponentSource) << c.why;
  }
}

TEST_F(DispatchTest, NoObjectRaises91) {
  for (auto call : std::vector<std::function<void()>>{
           [] { GetIDOfName(nullptr, "Form"); },
           [] { Invoke(nullptr, 0, kGet); },
           [] { CallByName(nullptr, "Form", kGet); },
       }) {
    auto err = ErrorOf(call);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number(), errnum::kObjectNotSet);
  }
  ObjectRef none;
  ReleaseObject(none);  // releasing nothing is no error
}

// An object whose every member throws what it is told to.
class Thrower : public Object {
 public:
  explicit Thrower(std::function<void()> t) : throw_(std::move(t)) {}
  DispId GetIDOfName(std::string_view) override {
    throw_();
    return 1;
  }
  Variant Invoke(DispId, InvokeKind, std::vector<Variant>&) override {
    throw_();
    return {};
  }
  void OnFinalRelease() override { throw_(); }

 private:
  std::function<void()> throw_;
};

TEST_F(DispatchTest, OtherExceptionsBecomeRaisedErrorsAtTheBoundary) {
  struct Case {
    const char* why;
    std::function<void()> thrower;
    RaisedError want;
  };
  const Case cases[] = {
      {"raised error", [] { Raise(-20, "OpenFile", "CreateFile failed. GetLastError=5"); },
       RaisedError(-20, "OpenFile", "CreateFile failed. GetLastError=5")},
      {"allocation failure", [] { throw std::bad_alloc(); }, RaisedError(7, kComponentSource, "Out of memory")},
      {"standard exception", [] { throw std::length_error("basic_string::_M_create"); },
       RaisedError(51, kComponentSource, "Internal error")},
      {"anything else", [] { throw 42; }, RaisedError(51, kComponentSource, "Internal error")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ObjectRef o = std::make_shared<Thrower>(c.thrower);
    ExpectSameError(ErrorOf([&] { GetIDOfName(o, "x"); }), c.want);
    ExpectSameError(ErrorOf([&] { Invoke(o, 1, kMethod); }), c.want);
    ExpectSameError(ErrorOf([&] { CallByName(o, "x", kMethod); }), c.want);
    ExpectSameError(ErrorOf([&] { ReleaseObject(o); }), c.want);
    EXPECT_EQ(o, nullptr);  // dropped although its final step failed
  }
}

TEST_F(DispatchTest, ArgumentsAreNotWrittenBack) {
  ObjectRef col = Collection::Create();
  std::vector<Variant> args{"kept", "key"};
  col->Invoke(GetIDOfName(col, "Add"), kMethod, args);
  EXPECT_EQ(args, (std::vector<Variant>{"kept", "key"}));
}

}  // namespace
}  // namespace parcelmoor
