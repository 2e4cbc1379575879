#include <gtest/gtest.h>

#include "host/collection.h"

namespace parcelmoor {
namespace {
TEST(CollectionTest, KeysFoldAsciiCaseAndRejectDuplicates) {
  auto c = Collection::Create();
  c->Add(Variant("one"), "Key");
  EXPECT_EQ(c->Item(std::string_view("KEY")).text(), "one");
  try {
    c->Add(Variant("two"), "kEy");
    FAIL() << "duplicate key accepted";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), errnum::kDuplicateKey);
  }
  EXPECT_EQ(c->Count(), 1);
}
}  // namespace
}  // namespace parcelmoor
