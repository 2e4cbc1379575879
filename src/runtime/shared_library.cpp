#include "runtime/shared_library.h"

#include <dlfcn.h>

namespace parcelmoor {

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const char* soname, std::string& why) {
  // RTLD_LOCAL: the library's symbols serve only the pointers bound here.
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    why = std::string(soname) + " could not be loaded" + (reason != nullptr ? ": " + std::string(reason) : "");
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle, soname));
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::Find(const char* name, std::string& why) const {
  dlerror();
  void* symbol = dlsym(handle_, name);
  if (symbol == nullptr) why = soname_ + " has no " + name;
  return symbol;
}

}  // namespace parcelmoor
