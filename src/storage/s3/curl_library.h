#pragma once
// libcurl's entry points the object store uses, bound from libcurl.so.4 at
// the first object-store client: libcurl and the ~30 libraries it needs
// are mapped only by a process that talks to an s3:// location.

#include <curl/curl.h>

#include <string>

namespace parcelmoor {

struct CurlLibrary {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_share_init) share_init = nullptr;
  decltype(&curl_share_setopt) share_setopt = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_reset) easy_reset = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

// The process's libcurl, loaded and curl_global_init'ed once (safe from any
// thread) and kept to the end; null, with the reason in `why`, when it
// cannot be loaded.
const CurlLibrary* LoadedCurl(std::string& why);

}  // namespace parcelmoor
