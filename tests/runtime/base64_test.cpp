#include "runtime/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace parcelmoor {
namespace {

TEST(Base64Test, EncodesAndDecodesStrictly) {
  const struct {
    std::string bytes;
    std::string text;
  } pairs[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"caf\xe9", "Y2Fm6Q=="}, {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(Base64Encode(p.bytes), p.text);
    EXPECT_EQ(Base64Decode(p.text), p.bytes) << p.text;
  }
  // Every byte value in every position of a group survives the round trip.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t cut = 0; cut < 3; ++cut) EXPECT_EQ(Base64Decode(Base64Encode(all.substr(cut))), all.substr(cut));

  const char* malformed[] = {
      "Zg",      // padding missing
      "Zg=",     // padding short
      "Zg===",   // padding long
      "Z===",    // a group with one letter
      "====",    // padding alone
      "Zg=a",    // `=` before the end
      "Zm9v\n",  // white space
      "Zm9v Zg==",
      "Zh==",    // the last letter's unused bits not zero
      "Zm9=",
      "Zm-_",    // the URL-safe alphabet
      "Zm9\x80",
  };
  for (const char* text : malformed) EXPECT_EQ(Base64Decode(text), std::nullopt) << text;
}

}  // namespace
}  // namespace parcelmoor
