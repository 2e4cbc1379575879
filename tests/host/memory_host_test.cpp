#include "host/memory_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace parcelmoor {
namespace {

constexpr size_t kAsked = 65535;

std::string Pattern(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  return body;
}

// Reads until the host raises; returns the size of every read, and the bytes.
std::vector<size_t> ReadAll(HostRequest& request, std::string& bytes, int32_t& endNumber) {
  std::vector<size_t> sizes;
  std::vector<uint8_t> buffer(kAsked);
  for (;;) {
    try {
      size_t n = request.BinaryRead(buffer.data(), buffer.size());
      sizes.push_back(n);
      bytes.append(reinterpret_cast<const char*>(buffer.data()), n);
    } catch (const RaisedError& e) {
      endNumber = e.number();
      return sizes;
    }
  }
}

struct PlanCase {
  const char* why;
  size_t bodySize;
  std::vector<size_t> plan;
  std::vector<size_t> reads;
};

TEST(MemoryHostTest, DeliversByReadPlan) {
  const PlanCase cases[] = {
      {"full chunks", 100000, {}, {65535, 34465}},
      {"exactly one chunk", 65535, {}, {65535}},
      {"empty body", 0, {}, {}},
      {"one byte per read", 3, {1}, {1, 1, 1}},
      {"plan cycles", 40, {13, 1, 5}, {13, 1, 5, 13, 1, 5, 2}},
      {"plan larger than the request", 70000, {65536, 9}, {65535, 9, 4456}},
  };
  for (const auto& c : cases) {
    const std::string body = Pattern(c.bodySize);
    auto host = MemoryHost::FromBytes(body, {c.plan, std::nullopt, std::nullopt});
    std::string got;
    int32_t endNumber = 0;
    EXPECT_EQ(ReadAll(*host, got, endNumber), c.reads) << c.why;
    EXPECT_EQ(got, body) << c.why;
    EXPECT_EQ(endNumber, 62) << c.why;
    EXPECT_EQ(host->binaryReadCalls(), static_cast<int32_t>(c.reads.size() + 1)) << c.why;
    EXPECT_EQ(host->bytesDelivered(), static_cast<int64_t>(c.bodySize)) << c.why;
    EXPECT_EQ(host->TotalBytes(), static_cast<int64_t>(c.bodySize)) << c.why;
  }
}

TEST(MemoryHostTest, ExhaustedReadLeavesTheBufferAlone) {
  auto host = MemoryHost::FromBytes("ab");
  uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_EQ(host->BinaryRead(buffer, 1), 1u);
  EXPECT_EQ(host->BinaryRead(buffer + 1, 4), 1u);
  EXPECT_THROW(host->BinaryRead(buffer + 2, 2), RaisedError);
  EXPECT_THROW(host->BinaryRead(buffer + 2, 2), RaisedError);  // and stays exhausted
  EXPECT_EQ(std::string(buffer, buffer + 4), "ab\x09\x09");
}

TEST(MemoryHostTest, AnnouncedLengthOverridesTheBody) {
  auto host = MemoryHost::FromBytes("abc", {{}, 1000, std::nullopt});
  EXPECT_EQ(host->TotalBytes(), 1000);
  std::string got;
  int32_t endNumber = 0;
  ReadAll(*host, got, endNumber);
  EXPECT_EQ(got, "abc");
}

TEST(MemoryHostTest, ClientLeavesAfterGivenBytes) {
  auto host = MemoryHost::FromBytes(Pattern(40), {{8}, std::nullopt, 20});
  uint8_t buffer[64];
  std::vector<bool> connected{host->IsClientConnected()};
  for (int i = 0; i < 4; ++i) {
    host->BinaryRead(buffer, sizeof buffer);
    connected.push_back(host->IsClientConnected());
  }
  EXPECT_EQ(connected, (std::vector<bool>{true, true, true, false, false}));

  auto goneAtOnce = MemoryHost::FromBytes("x", {{}, std::nullopt, 0});
  EXPECT_FALSE(goneAtOnce->IsClientConnected());
}

TEST(MemoryHostTest, RequestAndResponseShareTheHost) {
  auto host = MemoryHost::FromBytes("body");
  auto request = host->Request();
  auto response = host->Response();
  host->Write("a");
  response->Write("<b>");
  response->Write("");
  EXPECT_EQ(host->responseText(), "a<b>");

  std::weak_ptr<MemoryHost> watch = host;
  host.reset();
  ASSERT_FALSE(watch.expired());  // the aliases keep the host alive
  uint8_t buffer[8];
  EXPECT_EQ(request->BinaryRead(buffer, sizeof buffer), 4u);
  request.reset();
  response.reset();
  EXPECT_TRUE(watch.expired());
}

std::FILE* TempFileWith(const std::string& content) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
  std::rewind(f);
  return f;
}

TEST(MemoryHostTest, StreamsAFile) {
  const std::string body = Pattern(150000);
  auto host = MemoryHost::FromStream(TempFileWith(body), std::nullopt, {{13, 1, 65535}, std::nullopt, std::nullopt});
  EXPECT_EQ(host->TotalBytes(), 150000);  // learnt from the file
  std::string got;
  int32_t endNumber = 0;
  std::vector<size_t> reads = ReadAll(*host, got, endNumber);
  EXPECT_EQ(got, body);
  EXPECT_EQ(endNumber, 62);
  ASSERT_GE(reads.size(), 4u);
  EXPECT_EQ(std::vector<size_t>(reads.begin(), reads.begin() + 4), (std::vector<size_t>{13, 1, 65535, 13}));

  auto announced = MemoryHost::FromStream(TempFileWith("abc"), 7);
  EXPECT_EQ(announced->TotalBytes(), 7);
}

TEST(MemoryHostTest, StreamReadsOnlyWhatIsAsked) {
  // A pipe whose writer stays open: reading ahead to the end would find no
  // data yet (non-blocking) and fail, so every read must stop at its own size.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
  auto host = MemoryHost::FromStream(::fdopen(fds[0], "rb"), std::nullopt, {{4}, std::nullopt, std::nullopt});
  EXPECT_EQ(host->TotalBytes(), 0);  // a pipe's length is unknown
  uint8_t buffer[16];
  EXPECT_EQ(host->BinaryRead(buffer, sizeof buffer), 4u);
  EXPECT_EQ(host->BinaryRead(buffer + 4, sizeof buffer), 4u);
  EXPECT_EQ(host->BinaryRead(buffer + 8, 2), 2u);
  EXPECT_EQ(std::string(buffer, buffer + 10), "0123456789");
  ::close(fds[1]);
}

TEST(MemoryHostTest, FailingStreamReadRaises) {
  char path[] = "/tmp/memory_host_test_XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  // Open for writing only: every read of it fails.
  auto host = MemoryHost::FromStream(std::fopen(path, "wb"), 5);
  ::unlink(path);
  uint8_t buffer[4] = {1, 2, 3, 4};
  try {
    host->BinaryRead(buffer, sizeof buffer);
    ADD_FAILURE() << "read of a write-only stream succeeded";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), 57);
  }
  EXPECT_EQ(std::string(buffer, buffer + 4), "\x01\x02\x03\x04");
}

TEST(MemoryHostTest, ParsesReadPlans) {
  const std::pair<std::string, std::optional<std::vector<size_t>>> cases[] = {
      {"1", std::vector<size_t>{1}},
      {"13,1,65535", std::vector<size_t>{13, 1, 65535}},
      {"", std::nullopt},
      {"0", std::nullopt},
      {"5,0", std::nullopt},
      {"1,,2", std::nullopt},
      {"1,", std::nullopt},
      {",1", std::nullopt},
      {" 1", std::nullopt},
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"abc", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const auto& [text, plan] : cases) EXPECT_EQ(ParseReadPlan(text), plan) << '"' << text << '"';
}

}  // namespace
}  // namespace parcelmoor
