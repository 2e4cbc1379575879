#include "storage/s3/curl_library.h"

#include "runtime/shared_library.h"

namespace parcelmoor {
namespace {

BoundLibrary<CurlLibrary> Load() {
  BoundLibrary<CurlLibrary> out;
  out.library = SharedLibrary::Open("libcurl.so.4", out.why);
  if (!out.library) return out;
  const SharedLibrary& l = *out.library;
  CurlLibrary& a = out.api;
  std::string& why = out.why;
  const bool bound = l.Bind(a.global_init, "curl_global_init", why) && l.Bind(a.share_init, "curl_share_init", why) &&
                     l.Bind(a.share_setopt, "curl_share_setopt", why) && l.Bind(a.easy_init, "curl_easy_init", why) &&
                     l.Bind(a.easy_cleanup, "curl_easy_cleanup", why) && l.Bind(a.easy_reset, "curl_easy_reset", why) &&
                     l.Bind(a.easy_setopt, "curl_easy_setopt", why) && l.Bind(a.easy_perform, "curl_easy_perform", why) &&
                     l.Bind(a.easy_getinfo, "curl_easy_getinfo", why) &&
                     l.Bind(a.easy_strerror, "curl_easy_strerror", why) &&
                     l.Bind(a.slist_append, "curl_slist_append", why) &&
                     l.Bind(a.slist_free_all, "curl_slist_free_all", why);
  if (!bound) {
    out.library.reset();
    return out;
  }
  a.global_init(CURL_GLOBAL_DEFAULT);
  return out;
}

}  // namespace

const CurlLibrary* LoadedCurl(std::string& why) { return LoadedOnce<CurlLibrary>(Load, why); }

}  // namespace parcelmoor
