#include "runtime/collection.h"
#include "runtime/ascii.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "support/raised.h"

namespace parcelmoor {
namespace {

using testing::RaisedNumber;

TEST(CollectionTest, KeysFoldAsciiCaseAndRejectDuplicates) {
  auto c = Collection::Create();
  c->Add(Variant("one"), "Key");
  EXPECT_EQ(c->Item(std::string_view("KEY")).text(), "one");
  EXPECT_EQ(RaisedNumber([&] { c->Add(Variant("two"), "kEy"); }), errnum::kDuplicateKey);
  EXPECT_EQ(c->Count(), 1);
  // Only ASCII letters fold: these two keys differ.
  c->Add(Variant("e-acute"), "\xc3\xa9");
  EXPECT_EQ(RaisedNumber([&] { c->Item(std::string_view("\xc3\x89")); }), errnum::kInvalidProcedureCall);
}

TEST(CollectionTest, RemoveRenumbersAndKeepsKeysPointingAtTheirEntries) {
  auto c = Collection::Create();
  c->Add(Variant("a"), "ka");
  c->Add(Variant("b"));
  c->Add(Variant("c"), "kc");
  c->Add(Variant("d"), "kd");
  c->Remove(2);
  EXPECT_EQ(c->Count(), 3);
  EXPECT_EQ(c->Item(2).text(), "c");
  EXPECT_EQ(c->Item(std::string_view("kc")).text(), "c");
  EXPECT_EQ(c->Item(std::string_view("KD")).text(), "d");
  c->Remove(Variant("ka"));
  EXPECT_EQ(c->Item(1).text(), "c");
  EXPECT_EQ(RaisedNumber([&] { c->Item(std::string_view("ka")); }), errnum::kInvalidProcedureCall);
  // A removed key may be added again.
  c->Add(Variant("a2"), "KA");
  EXPECT_EQ(c->Item(Variant("ka")).text(), "a2");
  EXPECT_EQ(c->Item(Variant(3)).text(), "a2");
}

TEST(CollectionTest, BadNumbersAndKeysRaise) {
  auto c = Collection::Create();
  c->Add(Variant("a"), "k");
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"number 0", [&] { c->Item(0); }},
      {"number past the end", [&] { c->Item(2); }},
      {"unknown key", [&] { c->Item(std::string_view("x")); }},
      {"null as index", [&] { c->Item(Variant::Null()); }},
      {"remove past the end", [&] { c->Remove(2); }},
      {"remove unknown key", [&] { c->Remove(Variant("x")); }},
  };
  for (const auto& [why, call] : cases) EXPECT_EQ(RaisedNumber(call), errnum::kInvalidProcedureCall) << why;
  EXPECT_EQ(RaisedNumber([&] { c->Item(Variant(Collection::Create())); }), errnum::kTypeMismatch);
  EXPECT_EQ(c->Count(), 1);
}

// Many entries (the key index is built, grown, kept through removals of the
// last entry, dropped and rebuilt after others) against a plain list.
TEST(CollectionTest, ManyEntriesAnswerAsAPlainListWould) {
  struct Model {
    std::string key;  // folded; empty: no key
    std::string value;
  };
  auto c = Collection::Create();
  std::vector<Model> model;
  auto keyOf = [](int n) { return n % 5 == 0 ? std::string() : "Key" + std::to_string(n % 331); };
  auto indexOf = [&](const std::string& folded) {
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].key == folded) return static_cast<int32_t>(i + 1);
    return 0;
  };
  for (int step = 0; step < 3000; ++step) {
    const int n = (step * 7919) % 1009;
    const std::string key = keyOf(n);
    const std::string folded = FoldAscii(key);
    if (n % 7 == 3 && !model.empty()) {  // remove the last entry, or now and then one inside
      const int32_t at = n % 5 != 0 ? static_cast<int32_t>(model.size()) : 1 + n % static_cast<int32_t>(model.size());
      c->Remove(at);
      model.erase(model.begin() + (at - 1));
    } else if (key.empty()) {
      c->Add(Variant("v" + std::to_string(step)));
      model.push_back({"", "v" + std::to_string(step)});
    } else if (indexOf(folded) != 0) {
      ASSERT_EQ(RaisedNumber([&] { c->Add(Variant("dup"), key); }), errnum::kDuplicateKey) << step;
    } else {
      c->Add(Variant("v" + std::to_string(step)), step % 2 ? key : folded);
      model.push_back({folded, "v" + std::to_string(step)});
    }
    ASSERT_EQ(c->Count(), static_cast<int32_t>(model.size())) << step;
    // Every key of the model's range is found where the list has it, or raises.
    if (step % 4 == 0) {
      for (int k = 1; k < 331; k += 3) {
        const std::string probe = "KEY" + std::to_string(k);
        const int32_t at = indexOf(FoldAscii(probe));
        if (at == 0) {
          ASSERT_EQ(RaisedNumber([&] { c->Item(std::string_view(probe)); }), errnum::kInvalidProcedureCall) << step;
        } else {
          ASSERT_EQ(c->Item(std::string_view(probe)).text(), model[static_cast<size_t>(at - 1)].value) << step;
        }
      }
    }
  }
}

TEST(VariantTest, CoercesToText) {
  EXPECT_EQ(Variant(-12).asText(), "-12");
  EXPECT_EQ(Variant::Bool(kTrue).asText(), "True");
  EXPECT_EQ(Variant::Bool(kFalse).asText(), "False");
  EXPECT_EQ(Variant().asText(), "");
  EXPECT_EQ(RaisedNumber([] { Variant::Null().asText(); }), errnum::kInvalidUseOfNull);
  EXPECT_EQ(RaisedNumber([] { Variant(Collection::Create()).asText(); }), errnum::kTypeMismatch);
}

TEST(VariantTest, CoercesToInteger) {
  const std::pair<const char*, int32_t> converts[] = {
      {"12", 12}, {" -3 ", -3}, {"+7", 7}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}};
  for (const auto& [text, value] : converts) EXPECT_EQ(Variant(text).asInteger(), value) << text;
  const std::pair<const char*, int32_t> raises[] = {{"2147483648", errnum::kOverflow},
                                                    {"99999999999999999999", errnum::kOverflow},
                                                    {"", errnum::kTypeMismatch},
                                                    {"12x", errnum::kTypeMismatch},
                                                    {"-", errnum::kTypeMismatch}};
  for (const auto& [text, number] : raises) EXPECT_EQ(RaisedNumber([&] { Variant(text).asInteger(); }), number) << text;
  EXPECT_EQ(Variant::Bool(kTrue).asInteger(), -1);
  EXPECT_EQ(RaisedNumber([] { Variant::Null().asInteger(); }), errnum::kInvalidUseOfNull);
}

TEST(VariantTest, CoercesToBooleanAndObject) {
  EXPECT_EQ(Variant("True").asBoolean(), kTrue);
  EXPECT_EQ(Variant("False").asBoolean(), kFalse);
  EXPECT_EQ(Variant("5").asBoolean(), 5);
  EXPECT_EQ(Variant(0).asBoolean(), kFalse);
  // Wider than a Boolean: non-zero stays true, though its low 16 bits are 0.
  EXPECT_EQ(Variant(65536).asBoolean(), kTrue);
  EXPECT_EQ(Variant("-131072").asBoolean(), kTrue);
  EXPECT_EQ(RaisedNumber([] { Variant("maybe").asBoolean(); }), errnum::kTypeMismatch);
  EXPECT_EQ(RaisedNumber([] { Variant::Null().asBoolean(); }), errnum::kInvalidUseOfNull);

  EXPECT_EQ(RaisedNumber([] { Variant().asObject(); }), errnum::kObjectNotSet);
  EXPECT_EQ(RaisedNumber([] { Variant(ObjectRef()).asObject(); }), errnum::kObjectNotSet);
  EXPECT_EQ(RaisedNumber([] { Variant("x").asObject(); }), errnum::kTypeMismatch);
  EXPECT_EQ(RaisedNumber([] { ObjectAs<Collection>(Variant(std::make_shared<Object>())); }), errnum::kTypeMismatch);
  auto c = Collection::Create();
  EXPECT_EQ(ObjectAs<Collection>(Variant(c)), c);
}

}  // namespace
}  // namespace parcelmoor
