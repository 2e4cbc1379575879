#include "storage/coordinator/hiredis_library.h"

#include <memory>

#include "runtime/shared_library.h"

namespace parcelmoor {
namespace {

// The soname of Debian's libhiredis0.14, the version the headers are of.
constexpr const char* kSoname = "libhiredis.so.0.14";

BoundLibrary<HiredisLibrary> Load() {
  BoundLibrary<HiredisLibrary> out;
  out.library = SharedLibrary::Open(kSoname, out.why);
  if (!out.library) return out;
  const SharedLibrary& l = *out.library;
  HiredisLibrary& a = out.api;
  if (!(l.Bind(a.connectWithTimeout, "redisConnectWithTimeout", out.why) &&
        l.Bind(a.setTimeout, "redisSetTimeout", out.why) && l.Bind(a.command, "redisCommand", out.why) &&
        l.Bind(a.commandArgv, "redisCommandArgv", out.why) && l.Bind(a.free, "redisFree", out.why) &&
        l.Bind(a.freeReply, "freeReplyObject", out.why))) {
    out.library.reset();
  }
  return out;
}

}  // namespace

const HiredisLibrary* LoadedHiredis(std::string& why) { return LoadedOnce<HiredisLibrary>(Load, why); }

}  // namespace parcelmoor
