// A file cut into parts as its bytes arrive in reads of any size, and the
// digests the store's answers are checked against.
#include "storage/s3/s3_parts.h"

#include <gtest/gtest.h>

#include <numeric>

namespace parcelmoor {
namespace {

// Feeds `total` bytes in reads of `read` bytes; returns the part sizes sent
// (each full part, then what is left at the end) and checks every byte
// arrives once, in order.
std::vector<size_t> PartsOf(size_t partSize, size_t total, size_t read) {
  std::vector<uint8_t> bytes(total);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0});
  PartBuffer buffer(partSize);
  std::vector<uint8_t> sent;
  std::vector<size_t> parts;
  auto send = [&] {
    sent.insert(sent.end(), buffer.part().begin(), buffer.part().end());
    parts.push_back(buffer.part().size());
    buffer.clear();
  };
  for (size_t at = 0; at < total; at += read) {
    std::span<const uint8_t> chunk(bytes.data() + at, std::min(read, total - at));
    while (!chunk.empty()) {
      chunk = chunk.subspan(buffer.fill(chunk));
      if (buffer.full()) send();
    }
  }
  if (!buffer.empty()) send();
  EXPECT_EQ(sent, bytes);
  return parts;
}

TEST(S3Parts, BytesAreCutIntoFullPartsAndASmallerLast) {
  struct Case {
    size_t partSize, total, read;
    std::vector<size_t> parts;
  } cases[] = {
      {10, 0, 1, {}},
      {10, 7, 3, {7}},
      {10, 10, 10, {10}},
      {10, 25, 4, {10, 10, 5}},
      {10, 30, 7, {10, 10, 10}},
      {10, 31, 100, {10, 10, 10, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PartsOf(c.partSize, c.total, c.read), c.parts) << c.total << " bytes in reads of " << c.read;
  }
}

TEST(S3Parts, DigestsAsTheStoreWritesThem) {
  const std::string empty = Md5Of({});
  EXPECT_EQ(HexOf(empty), "d41d8cd98f00b204e9800998ecf8427e");
  // Two parts "a" and "b": the MD5 of their MD5s, then the part count.
  const uint8_t a = 'a', b = 'b';
  EXPECT_EQ(MultipartETag({Md5Of({&a, 1}), Md5Of({&b, 1})}), "\"96e024ba2074fe77e8e965ba43a704be-2\"");
  EXPECT_EQ(BareETag("\"ABC-2\""), "abc-2");
}

}  // namespace
}  // namespace parcelmoor
