#include "storage/posix_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace parcelmoor {
namespace {

TEST(WriteAllTest, DeliversEveryByteThroughShortWritesAndReportsAFailure) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  FileDescriptor reader(ends[0]);
  FileDescriptor writer(ends[1]);
  // More than a pipe holds: the kernel accepts it in several short writes.
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 % 251);
  std::string received;
  std::thread drain([&] {
    char buffer[8192];
    ssize_t n;
    while ((n = ::read(reader.get(), buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
  });
  EXPECT_EQ(WriteAll(writer.get(), payload), payload.size());
  writer.reset();
  drain.join();
  EXPECT_TRUE(received == payload);

  // No descriptor: nothing is written and errno says why.
  errno = 0;
  EXPECT_EQ(WriteAll(-1, "x"), 0u);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace parcelmoor
