#pragma once
// A system library opened at run time by its soname, for the optional
// features whose libraries pull in many more (libcurl with its TLS, Kerberos
// and LDAP stacks): a process that never uses the feature never maps them,
// which is what `store` and `cgi` pay on every start.

#include <memory>
#include <string>

namespace parcelmoor {

class SharedLibrary {
 public:
  // Opens `soname` (such as "libcurl.so.4") through the dynamic loader's
  // usual search; null, with the loader's reason in `why`, when it fails.
  static std::unique_ptr<SharedLibrary> Open(const char* soname, std::string& why);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Points `target` at the library's function `name`; false, with `why`,
  // when the library has no such symbol (an older version than expected).
  template <class Function>
  bool Bind(Function*& target, const char* name, std::string& why) const {
    target = reinterpret_cast<Function*>(Find(name, why));
    return target != nullptr;
  }

 private:
  SharedLibrary(void* handle, std::string soname) : handle_(handle), soname_(std::move(soname)) {}
  void* Find(const char* name, std::string& why) const;

  void* handle_;
  std::string soname_;
};

// A library and the functions `Api` holds, bound from it; `why` says what
// failed when `library` is null.
template <class Api>
struct BoundLibrary {
  std::unique_ptr<SharedLibrary> library;
  Api api;
  std::string why;
};

// The functions `bind` binds, opened once per process at the first call and
// never closed (other threads' handles may use the library until the end);
// null, with `why`, when the library or one of its functions is missing.
// One `Bind` per `Api`: the first call's load is every later call's.
template <class Api, class Bind>
const Api* LoadedOnce(Bind bind, std::string& why) {
  static const BoundLibrary<Api>* loaded = new BoundLibrary<Api>(bind());
  if (!loaded->library) {
    why = loaded->why;
    return nullptr;
  }
  return &loaded->api;
}

}  // namespace parcelmoor
