// TEMPORARY: placeholder until the commands land.
#include <cstdio>
int main() {
  std::puts("parcelmoor");
  return 0;
}
