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

}  // namespace parcelmoor
