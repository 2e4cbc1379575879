// The coordinator's address as an operator writes it.
#include <gtest/gtest.h>

#include "storage/coordinator/redis_link.h"

namespace parcelmoor {
namespace {

TEST(RedisUrl, ReadsIntoHostPortAndDatabaseOrIsRefused) {
  struct Case {
    const char* url;
    const char* host;  // nullptr: refused
    int port;
    int db;
  } cases[] = {
      {"redis://10.0.0.5", "10.0.0.5", 6379, 0},
      {"redis://coord.example:6380/3", "coord.example", 6380, 3},
      {"redis://[::1]:7000", "::1", 7000, 0},
      {"redis://[::1]", "::1", 6379, 0},
      {"redis://", nullptr, 0, 0},
      {"redis://h:0", nullptr, 0, 0},
      {"redis://h:65536", nullptr, 0, 0},
      {"redis://h:80x", nullptr, 0, 0},
      {"redis://h/-1", nullptr, 0, 0},
      {"redis://h/db", nullptr, 0, 0},
      {"http://h:6379", nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto address = ParseRedisUrl(c.url, why);
    if (c.host == nullptr) {
      EXPECT_FALSE(address) << c.url;
      EXPECT_FALSE(why.empty()) << c.url;
      continue;
    }
    ASSERT_TRUE(address) << c.url << ": " << why;
    EXPECT_EQ(address->host, c.host) << c.url;
    EXPECT_EQ(address->port, c.port) << c.url;
    EXPECT_EQ(address->db, c.db) << c.url;
  }
}

}  // namespace
}  // namespace parcelmoor
