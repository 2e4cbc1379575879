// parcelmoor: stores multipart/form-data uploads. `serve` runs the embedded
// HTTP server (the default), `cgi` answers one CGI request, `store` stores one
// request body read from a file.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"

#ifndef PARCELMOOR_VERSION
#define PARCELMOOR_VERSION "unknown"
#endif

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: parcelmoor [serve] [options]     run the upload server (the default command)\n"
               "       parcelmoor cgi [options]          answer one request as a CGI program\n"
               "       parcelmoor store [options] [BODY] store one request body read from a file\n"
               "       parcelmoor sweep --dir DIR        remove what crashed uploads left in DIR\n"
               "       parcelmoor --version              print the version\n"
               "Run 'parcelmoor COMMAND --help' for a command's options.\n");
}

bool Is(const char* arg, const char* name) { return std::strcmp(arg, name) == 0; }

}  // namespace

int main(int argc, char** argv) {
  using namespace parcelmoor::apps;
  // A web server that runs us as a CGI program sets GATEWAY_INTERFACE.
  const bool underCgi = std::getenv("GATEWAY_INTERFACE") != nullptr;
  if (argc < 2 || argv[1][0] == '-') {
    if (argc >= 2 && (Is(argv[1], "--help") || Is(argv[1], "-h"))) {
      PrintUsage(stdout);
      return 0;
    }
    if (argc >= 2 && Is(argv[1], "--version")) {
      std::printf("parcelmoor %s\n", PARCELMOOR_VERSION);
      return 0;
    }
    return underCgi ? RunCgi(argc - 1, argv + 1, "") : RunServe(argc - 1, argv + 1, "");
  }
  const char* command = argv[1];
  if (Is(command, "serve")) return RunServe(argc - 2, argv + 2, "serve");
  if (Is(command, "store")) return RunStore(argc - 2, argv + 2);
  if (Is(command, "cgi")) return RunCgi(argc - 2, argv + 2, "cgi");
  if (Is(command, "sweep")) return RunSweep(argc - 2, argv + 2);
  std::fprintf(stderr, "parcelmoor: unknown command '%s'\n", command);
  PrintUsage(stderr);
  return 2;
}
