// TEMPORARY: placeholder until the embedded server lands.
#include <cstdio>

#include "commands.h"

namespace parcelmoor::apps {
int RunServe(int, char**) {
  std::fprintf(stderr, "parcelmoor: serve is not built yet\n");
  return 2;
}
}  // namespace parcelmoor::apps
