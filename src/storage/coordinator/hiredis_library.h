#pragma once
// hiredis's entry points, bound from libhiredis.so at the first connection
// to a coordinator: a process without --coordinator never maps it.

#include <hiredis/hiredis.h>

#include <string>

namespace parcelmoor {

struct HiredisLibrary {
  decltype(&redisConnectWithTimeout) connectWithTimeout = nullptr;
  decltype(&redisSetTimeout) setTimeout = nullptr;
  decltype(&redisCommand) command = nullptr;
  decltype(&redisCommandArgv) commandArgv = nullptr;
  decltype(&redisFree) free = nullptr;
  decltype(&freeReplyObject) freeReply = nullptr;
};

// Loaded once (safe from any thread) and kept to the end; null, with the
// reason in `why`, when the library cannot be loaded.
const HiredisLibrary* LoadedHiredis(std::string& why);

}  // namespace parcelmoor
