// The boundary a Content-Type names, and the body the component is handed
// once its first line has been checked against it.

#include "host/boundary_check.h"

#include <gtest/gtest.h>

#include "host/memory_host.h"

namespace parcelmoor {
namespace {

TEST(BoundaryCheckTest, BoundaryParameterOfTheContentType) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"multipart/form-data; boundary=abc", "abc"},
      {"Multipart/Form-Data ; charset=utf-8; BOUNDARY = \"a b'c\"", "a b'c"},
      {"multipart/form-data; boundary=\"a\\\"b\"", "a\"b"},
      {"multipart/form-data; boundary=\"\"", std::nullopt},
      {"multipart/form-data; boundary=\"abc", std::nullopt},
      {"multipart/form-data; boundary=\"abc\"x", std::nullopt},
      {"multipart/form-data", std::nullopt},
      {"multipart/mixed; boundary=abc", std::nullopt},
  };
  for (const auto& [contentType, boundary] : rows) EXPECT_EQ(FormDataBoundary(contentType), boundary) << contentType;
}

TEST(BoundaryCheckTest, OnlyABodyBeginningWithTheDelimiterLineReachesTheReader) {
  struct Row {
    const char* why;
    std::string body;
    std::vector<size_t> readPlan;
    std::optional<int64_t> announced;
    bool mismatch;
  };
  const std::string body = "--b1\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--b1--\r\n";
  const Row rows[] = {
      {"the delimiter line", body, {}, {}, false},
      {"the delimiter line a byte a read", body, {1}, {}, false},
      {"the close delimiter", "--b1--\r\n", {}, {}, false},
      {"a body ending inside the line, then failing", "--b", {}, 100, false},
      {"another boundary", "--b2\r\n" + body, {}, {}, true},
      {"a longer boundary", "--b1x\r\n" + body, {}, {}, true},
      {"a line before it", "\r\n" + body, {}, {}, true},
      {"a body shorter than the line", "--b1", {}, {}, true},
  };
  for (const Row& row : rows) {
    auto host = MemoryHost::FromBytes(row.body, {.readPlan = row.readPlan, .totalBytes = row.announced});
    auto check = std::make_shared<BoundaryCheck>(host, "b1");
    const int64_t total = check->TotalBytes();
    std::string handed;
    std::vector<uint8_t> buffer(4096);
    try {
      for (;;) handed.append(reinterpret_cast<const char*>(buffer.data()), check->BinaryRead(buffer.data(), 4096));
    } catch (const RaisedError&) {
    }
    EXPECT_EQ(check->mismatch(), row.mismatch) << row.why;
    EXPECT_EQ(total, row.mismatch ? 0 : row.announced.value_or(static_cast<int64_t>(row.body.size()))) << row.why;
    EXPECT_EQ(handed, row.mismatch ? "" : row.body) << row.why;
    // A refused body costs no more than the delimiter line's bytes.
    if (row.mismatch) {
      EXPECT_LE(host->bytesDelivered(), 6) << row.why;
    }
  }
}

}  // namespace
}  // namespace parcelmoor
