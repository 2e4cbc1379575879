// TEMPORARY: placeholder until the store command lands.
#include <cstdio>

#include "commands.h"

namespace parcelmoor::apps {
int RunStore(int, char**) {
  std::fprintf(stderr, "parcelmoor: store is not built yet\n");
  return 2;
}
}  // namespace parcelmoor::apps
