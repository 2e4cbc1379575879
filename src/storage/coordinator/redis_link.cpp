// hiredis's synchronous API behind one mutex.
#include "storage/coordinator/redis_link.h"

#include <charconv>
#include <memory>

#include "storage/coordinator/hiredis_library.h"

namespace parcelmoor {
namespace {

constexpr std::string_view kScheme = "redis://";

// Only reached once a connection was made, hence with hiredis loaded.
const HiredisLibrary& Hiredis() {
  std::string unused;
  return *LoadedHiredis(unused);
}

struct ReplyFree {
  void operator()(redisReply* reply) const noexcept { Hiredis().freeReply(reply); }
};

bool ParseNumber(std::string_view text, int& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

timeval TimevalOf(std::chrono::milliseconds span) {
  return {static_cast<time_t>(span.count() / 1000), static_cast<suseconds_t>(span.count() % 1000 * 1000)};
}

}  // namespace

std::optional<RedisAddress> ParseRedisUrl(std::string_view url, std::string& why) {
  if (url.substr(0, kScheme.size()) != kScheme) {
    why = "a coordinator is named redis://HOST[:PORT][/DB]";
    return std::nullopt;
  }
  url.remove_prefix(kScheme.size());
  RedisAddress address;
  if (const size_t slash = url.find('/'); slash != std::string_view::npos) {
    if (!ParseNumber(url.substr(slash + 1), address.db) || address.db < 0) {
      why = "the database after the '/' must be a number";
      return std::nullopt;
    }
    url = url.substr(0, slash);
  }
  if (const size_t colon = url.rfind(':'); colon != std::string_view::npos && url.find(']', colon) == url.npos) {
    if (!ParseNumber(url.substr(colon + 1), address.port) || address.port < 1 || address.port > 65535) {
      why = "the port must be a number from 1 to 65535";
      return std::nullopt;
    }
    url = url.substr(0, colon);
  }
  if (url.size() > 2 && url.front() == '[' && url.back() == ']') url = url.substr(1, url.size() - 2);
  if (url.empty()) {
    why = "a coordinator URL needs a host";
    return std::nullopt;
  }
  address.host = std::string(url);
  return address;
}

RedisLink::RedisLink(RedisAddress address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout) {}

RedisLink::~RedisLink() { drop(); }

void RedisLink::drop() noexcept {
  if (context_ != nullptr) Hiredis().free(static_cast<redisContext*>(context_));
  context_ = nullptr;
}

bool RedisLink::connect(std::string& why) {
  if (context_ != nullptr) return true;
  const HiredisLibrary* hiredis = LoadedHiredis(why);
  if (hiredis == nullptr) return false;
  const timeval limit = TimevalOf(timeout_);
  redisContext* context = hiredis->connectWithTimeout(address_.host.c_str(), address_.port, limit);
  const std::string where = "the coordinator at " + address_.host + ":" + std::to_string(address_.port);
  if (context == nullptr || context->err != 0) {
    why = where + " could not be reached: " + (context != nullptr ? context->errstr : "out of memory");
    if (context != nullptr) hiredis->free(context);
    return false;
  }
  hiredis->setTimeout(context, limit);
  context_ = context;
  if (address_.db != 0) {
    std::unique_ptr<redisReply, ReplyFree> reply(
        static_cast<redisReply*>(hiredis->command(context, "SELECT %d", address_.db)));
    if (!reply || reply->type == REDIS_REPLY_ERROR) {
      why = where + " refused database " + std::to_string(address_.db) +
            (reply ? ": " + std::string(reply->str, reply->len) : std::string());
      drop();
      return false;
    }
  }
  return true;
}

RedisReply RedisLink::command(const std::vector<std::string>& arguments) {
  std::vector<const char*> pointers;
  std::vector<size_t> lengths;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  std::lock_guard lock(mutex_);
  RedisReply answer;
  // A connection that broke since the last command is opened again once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!connect(answer.failure)) return answer;
    auto* context = static_cast<redisContext*>(context_);
    std::unique_ptr<redisReply, ReplyFree> reply(static_cast<redisReply*>(
        Hiredis().commandArgv(context, static_cast<int>(arguments.size()), pointers.data(), lengths.data())));
    if (!reply) {
      answer.failure = "the coordinator's connection failed: " + std::string(context->errstr);
      drop();
      continue;
    }
    switch (reply->type) {
      case REDIS_REPLY_ERROR: answer.failure = "the coordinator answered " + std::string(reply->str, reply->len); break;
      case REDIS_REPLY_NIL: answer.ok = answer.nil = true; break;
      case REDIS_REPLY_INTEGER: answer.ok = true; answer.integer = reply->integer; break;
      default:
        answer.ok = true;
        if (reply->str != nullptr) answer.text.assign(reply->str, reply->len);
    }
    return answer;
  }
  return answer;
}

std::string RedisLink::ping() {
  RedisReply reply = command({"PING"});
  if (reply.ok && reply.text == "PONG") return {};
  return reply.ok ? "the coordinator answered PING with " + reply.text : reply.failure;
}

}  // namespace parcelmoor
