#pragma once
// One connection to a Redis server (hiredis), shared by the threads of a
// process under a mutex: every command a server sends it is one short round
// trip. A connection that broke is opened again once, at the next command;
// every wait is bounded by the timeout given.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

struct RedisAddress {
  std::string host;
  int port = 6379;
  int db = 0;
};

// "redis://HOST[:PORT][/DB]"; none with `why` set when it is not one.
std::optional<RedisAddress> ParseRedisUrl(std::string_view url, std::string& why);

struct RedisReply {
  bool ok = false;       // false: no answer came, or Redis answered an error
  bool nil = false;      // the answer was nil (SET NX that did not set, GET of no key)
  long long integer = 0;
  std::string text;      // a status or string answer
  std::string failure;   // for the log, when !ok
};

class RedisLink {
 public:
  RedisLink(RedisAddress address, std::chrono::milliseconds timeout);
  ~RedisLink();
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  // Sends one command of these arguments (binary-safe) and reads its answer.
  RedisReply command(const std::vector<std::string>& arguments);

  // Empty when the server answers PING; else why not, in words.
  std::string ping();

  const RedisAddress& address() const { return address_; }

 private:
  // Opens the connection (and selects the database) when none is open.
  bool connect(std::string& why);
  void drop() noexcept;

  RedisAddress address_;
  std::chrono::milliseconds timeout_;
  std::mutex mutex_;
  void* context_ = nullptr;  // redisContext*
};

}  // namespace parcelmoor
