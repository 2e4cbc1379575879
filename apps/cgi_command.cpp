// TEMPORARY: placeholder until the CGI adapter lands.
#include <cstdio>

#include "commands.h"

namespace parcelmoor::apps {
int RunCgi(int, char**) {
  std::fprintf(stderr, "parcelmoor: cgi is not built yet\n");
  return 2;
}
}  // namespace parcelmoor::apps
