#include "form/form_item.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace parcelmoor {
namespace {

constexpr const char* kPrefix = "Content-Disposition: form-data";

// The values of an item as plain data; nullopt stands for the null entry.
std::vector<std::optional<std::string>> ValuesOf(const std::shared_ptr<Collection>& values) {
  std::vector<std::optional<std::string>> out;
  for (int32_t i = 1; i <= values->Count(); ++i) {
    const Variant& v = values->Item(i);
    out.push_back(v.isNull() ? std::nullopt : std::optional<std::string>(v.text()));
  }
  return out;
}

std::shared_ptr<FormItem> ItemFromHeader(const std::string& line, const std::shared_ptr<Collection>& form) {
  auto item = FormItem::Create();
  EXPECT_EQ(item->extractCDHeader(line, form), 0) << line;
  return item;
}

struct HeaderCase {
  const char* why;
  std::string parameters;  // what follows "Content-Disposition: form-data"
  std::string name;
  bool isFile;
  std::string fileName;
  std::string completePath;
};

TEST(FormItemHeaderTest, ReadsNameAndFile) {
  const HeaderCase cases[] = {
      {"field and file", R"(; name="f1"; filename="C:\dir\a.txt")", "f1", true, "a.txt", R"(C:\dir\a.txt)"},
      {"plain field", R"(; name="f1")", "f1", false, "", ""},
      {"blanks around = and after ;", R"(;  name = "f1" ;   filename =  "C:\dir\a.txt"  )", "f1", true, "a.txt",
       R"(C:\dir\a.txt)"},
      {"file key in capitals", R"(; name="f1"; FILENAME="a.txt")", "f1", true, "a.txt", "a.txt"},
      {"file key in mixed case", R"(; name="f1"; FileName="a.txt")", "f1", true, "a.txt", "a.txt"},
      {"semicolon inside a quoted file name is part of it", R"(; name="f1"; filename="a;b.txt")", "f1", true,
       "a;b.txt", "a;b.txt"},
      {"a fourth parameter makes a plain field", R"(; name="f1"; filename="a.txt"; size=3)", "f1", false, "", ""},
      {"parameters taken by position", R"(; filename="a.txt"; name="f1")", "a.txt", true, "f1", "f1"},
      {"another key in third place", R"(; name="f1"; size="3")", "f1", false, "", ""},
      {"key that only ends in filename", R"(; name="f1"; xfilename="a.txt")", "f1", false, "", ""},
      {"empty quoted file value", R"(; name="f1"; filename="")", "f1", true, "", ""},
      {"unquoted value taken after trimming", "; name=  f 1  ", "f 1", false, "", ""},
      {"opening quote without closing quote", R"(; name="f1)", "f", false, "", ""},
      {"blanks inside quotes stay", R"(; name=" a b ")", " a b ", false, "", ""},
      {"only the first = counts", R"(; name="a=b")", "a=b", false, "", ""},
      {"tab is not a blank", "; name=\t\"f1\"", "\t\"f1\"", false, "", ""},
      {"parameter without =", ";  justtext  ", "justtext", false, "", ""},
      {"no parameter at all", "", "", false, "", ""},
      {"quoted semicolon does not split the line", R"(; name="x;filename=y")", "x;filename=y", false, "", ""},
      {"UTF-8 bytes kept exactly", "; name=\"\xc3\xa9t\xc3\xa9\"; filename=\"C:\\r\xc3\xa9s\\\xe2\x82\xac.txt\"",
       "\xc3\xa9t\xc3\xa9", true, "\xe2\x82\xac.txt", "C:\\r\xc3\xa9s\\\xe2\x82\xac.txt"},
      {"invalid UTF-8 kept exactly", "; name=\"\xff\xfe\"; filename=\"\x80\"", "\xff\xfe", true, "\x80", "\x80"},
  };
  for (const auto& c : cases) {
    auto item = ItemFromHeader(kPrefix + c.parameters, Collection::Create());
    EXPECT_EQ(item->Name(), c.name) << c.why;
    EXPECT_EQ(item->isElementFile() != 0, c.isFile) << c.why;
    EXPECT_EQ(item->getFileName(), c.fileName) << c.why;
    EXPECT_EQ(item->getCompleteFilePath(), c.completePath) << c.why;
  }
}

TEST(FormItemHeaderTest, CutsClientPaths) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(C:\dir\a.txt)", "a.txt"},
      {"dir/sub/a.txt", "a.txt"},
      {R"(C:\dir\)", "dir"},
      {"a.txt", "a.txt"},
      {R"(C:/x\y/z.txt)", "y/z.txt"},  // a backslash path is cut at backslashes only
      {"/", ""},
      {R"(\\server\share\f.bin)", "f.bin"},
  };
  for (const auto& [path, fileName] : cases) {
    auto item = ItemFromHeader(std::string(kPrefix) + "; name=\"f\"; filename=\"" + path + "\"", Collection::Create());
    EXPECT_EQ(item->getFileName(), fileName) << path;
    EXPECT_EQ(item->getCompleteFilePath(), path) << path;
  }
}

TEST(FormItemHeaderTest, RepeatedNameSwitchesOnlyTheLastEntry) {
  auto form = Collection::Create();
  auto first = ItemFromHeader(std::string(kPrefix) + R"(; name="f1"; filename="C:\a\one.txt")", form);
  form->Add(Variant(first), first->Name());

  auto other = ItemFromHeader(std::string(kPrefix) + R"(; name="F1")", form);  // letter case differs
  EXPECT_FALSE(first->isMultipleValues());

  auto repeat = FormItem::Create();
  EXPECT_EQ(repeat->extractCDHeader(std::string(kPrefix) + R"(; name="f1"; filename="C:\b\two.txt")", form), 1);
  EXPECT_TRUE(first->isMultipleValues());
  // The new line's file parameter is not read; the first part's stays.
  EXPECT_FALSE(repeat->isElementFile());
  EXPECT_EQ(first->getFileName(), "one.txt");
  EXPECT_EQ(first->getCompleteFilePath(), R"(C:\a\one.txt)");

  // With another item in between, an earlier entry of the same name is not seen.
  form->Add(Variant(other), "other");
  auto late = FormItem::Create();
  EXPECT_EQ(late->extractCDHeader(std::string(kPrefix) + R"(; name="f1")", form), 0);
  EXPECT_FALSE(other->isMultipleValues());
}

TEST(FormItemHeaderTest, LineWithoutParametersMatchesAnUnnamedLastEntry) {
  auto form = Collection::Create();
  auto unnamed = ItemFromHeader("Content-Disposition: form-data", form);
  form->Add(Variant(unnamed));
  auto again = FormItem::Create();
  EXPECT_EQ(again->extractCDHeader("Content-Disposition: form-data", form), 1);
  EXPECT_TRUE(unnamed->isMultipleValues());
}

struct FailureCase {
  const char* why;
  std::string line;
  std::shared_ptr<Collection> form;
  int32_t number;
  std::string description;
  std::string nameAfter;
  bool isFileAfter;
};

TEST(FormItemHeaderTest, FailuresAreWrapped) {
  auto formWithText = Collection::Create();
  formWithText->Add(Variant("not an item"));
  const FailureCase cases[] = {
      {"lone quote as name", std::string(kPrefix) + "; name=  \"  ", Collection::Create(), errnum::kInvalidProcedureCall,
       "Invalid procedure call or argument extractCDHeader ", "", false},
      {"lone quote as file", std::string(kPrefix) + "; name=\"f1\"; filename=\"", Collection::Create(),
       errnum::kInvalidProcedureCall, "Invalid procedure call or argument extractCDHeader ", "f1", true},
      {"missing collection", std::string(kPrefix) + "; name=\"f1\"", nullptr, errnum::kObjectNotSet,
       "Object variable or With block variable not set extractCDHeader ", "f1", false},
      {"last entry is not an item", std::string(kPrefix) + "; name=\"f1\"", formWithText, errnum::kTypeMismatch,
       "Type mismatch extractCDHeader ", "f1", false},
  };
  for (const auto& c : cases) {
    auto item = FormItem::Create();
    try {
      item->extractCDHeader(c.line, c.form);
      ADD_FAILURE() << c.why << ": nothing raised";
    } catch (const RaisedError& e) {
      EXPECT_EQ(e.number(), c.number) << c.why;
      EXPECT_EQ(e.source(), "UploadedItem") << c.why;
      EXPECT_EQ(e.description(), c.description) << c.why;
    }
    // What was read before the failure stays.
    EXPECT_EQ(item->Name(), c.nameAfter) << c.why;
    EXPECT_EQ(item->isElementFile() != 0, c.isFileAfter) << c.why;
  }
}

TEST(FormItemValueTest, SingleValueJoinsThenMultipleValuesAddEntries) {
  auto item = FormItem::Create();
  EXPECT_EQ(item->setValue("ab"), 0);
  EXPECT_EQ(item->setValue("cd"), 0);
  EXPECT_EQ(ValuesOf(item->Value()), (std::vector<std::optional<std::string>>{"abcd"}));
  item->MultipleValues();
  EXPECT_EQ(item->setValue("ef"), 0);
  EXPECT_EQ(item->setValue("gh"), 0);
  EXPECT_EQ(ValuesOf(item->Value()), (std::vector<std::optional<std::string>>{"abcd", "ef", "gh"}));
}

TEST(FormItemValueTest, EmptyTextIsAValueNotNull) {
  auto item = FormItem::Create();
  item->setValue("");
  EXPECT_EQ(ValuesOf(item->Value()), (std::vector<std::optional<std::string>>{""}));
}

TEST(FormItemValueTest, ValueOfAnItemWithoutValueIsOneNullEntry) {
  auto item = FormItem::Create();
  auto values = item->Value();
  EXPECT_EQ(ValuesOf(values), (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_EQ(item->Value(), values);  // the item's own collection, not a copy
  EXPECT_EQ(values->Count(), 1);
}

TEST(FormItemValueTest, JoiningOntoTheNullEntryFailsAndChangesNothing) {
  auto item = FormItem::Create();
  item->Value();
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (attempt == 0) {
        item->setValue("x");
      } else {
        item->continueValue("x");
      }
      ADD_FAILURE() << "join onto null accepted, attempt " << attempt;
    } catch (const RaisedError& e) {
      EXPECT_EQ(e.number(), errnum::kInvalidUseOfNull);
      EXPECT_EQ(e.source(), kComponentSource);
      EXPECT_EQ(e.description(), "Invalid use of Null");
    }
    EXPECT_EQ(ValuesOf(item->Value()), (std::vector<std::optional<std::string>>{std::nullopt}));
  }
  // In multiple-value mode nothing is joined: the value gets an entry of its own.
  item->MultipleValues();
  item->setValue("x");
  EXPECT_EQ(ValuesOf(item->Value()), (std::vector<std::optional<std::string>>{std::nullopt, "x"}));
}

TEST(FormItemValueTest, ContinueValueMakesOneEntryInEitherMode) {
  auto item = FormItem::Create();
  item->continueValue("line 1");
  item->continueValue("\r\n");
  item->continueValue("line 2");
  item->MultipleValues();
  item->setValue("second");
  item->continueValue(" part");
  item->continueValue(std::string_view("\0bin", 4));
  EXPECT_EQ(ValuesOf(item->Value()),
            (std::vector<std::optional<std::string>>{"line 1\r\nline 2", std::string("second part\0bin", 15)}));
}

// Feeds `total` bytes in pieces of `piece` bytes and counts how often the
// buffer of the joined value moved. Appending in place moves it only as its
// capacity grows geometrically; copying the joined value per call would move
// it every call.
size_t BufferMovesWhileGathering(bool throughSetValue, size_t total, size_t piece) {
  auto item = FormItem::Create();
  std::string chunk(piece, '\0');
  const char* lastBuffer = nullptr;
  size_t moves = 0;
  for (size_t fed = 0, n = 0; fed < total; fed += piece, ++n) {
    chunk.assign(piece, static_cast<char>('a' + n % 26));
    if (throughSetValue) {
      item->setValue(chunk);
    } else {
      item->continueValue(chunk);
    }
    const char* buffer = item->Value()->Last().text().data();
    if (buffer != lastBuffer) ++moves;
    lastBuffer = buffer;
  }
  auto values = item->Value();
  EXPECT_EQ(values->Count(), 1);
  const std::string& joined = values->Item(1).text();
  EXPECT_EQ(joined.size(), total);
  for (size_t n = 0; n * piece < total; ++n) {
    EXPECT_EQ(joined[n * piece], 'a' + n % 26) << "piece " << n;
    EXPECT_EQ(joined[(n + 1) * piece - 1], 'a' + n % 26) << "piece " << n;
    if (::testing::Test::HasFailure()) break;
  }
  return moves;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kLargeValue = 16u << 20;
#else
constexpr size_t kLargeValue = 100u << 20;
#endif

TEST(FormItemValueTest, LargeValueGrowsByAppendsNotCopies) {
  const size_t piece = 64u << 10;
  const size_t calls = kLargeValue / piece;
  for (bool throughSetValue : {true, false}) {
    size_t moves = BufferMovesWhileGathering(throughSetValue, kLargeValue, piece);
    EXPECT_LT(moves, calls / 20) << (throughSetValue ? "setValue" : "continueValue");
  }
}

TEST(FormItemTest, FileSizeReadsOnlyForFilesAndSaturates) {
  auto field = ItemFromHeader(std::string(kPrefix) + R"(; name="t")", Collection::Create());
  field->setFileSize(10);
  EXPECT_EQ(field->getFileSize(), 0);
  EXPECT_EQ(field->fileSize64(), 0);

  auto file = ItemFromHeader(std::string(kPrefix) + R"(; name="f"; filename="a")", Collection::Create());
  const std::pair<int64_t, int32_t> sizes[] = {
      {10, 10}, {0, 0}, {INT32_MAX, INT32_MAX}, {int64_t{INT32_MAX} + 1, INT32_MAX}, {int64_t{3} << 30, INT32_MAX}};
  for (const auto& [stored, reported] : sizes) {
    file->setFileSize(stored);
    EXPECT_EQ(file->getFileSize(), reported) << stored;
    EXPECT_EQ(file->fileSize64(), stored) << stored;
  }
}

}  // namespace
}  // namespace parcelmoor
