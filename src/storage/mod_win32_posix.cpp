// TEMPORARY: placeholder until the POSIX file layer lands.
#include <cstring>

#include "storage/mod_win32.h"

namespace parcelmoor::modWin32 {
void RtlMoveMemory(void* d, const void* s, size_t n) { std::memmove(d, s, n); }
FileLayer& FileLayer::Posix() {
  static FileLayer* none = nullptr;
  return *none;
}
}  // namespace parcelmoor::modWin32
