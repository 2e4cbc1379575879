// parcelmoor: stores multipart/form-data uploads. `serve` runs the embedded
// HTTP server (the default), `cgi` answers one CGI request, `store` stores one
// request body read from a file.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: parcelmoor [serve] [options]     run the upload server (default)\n"
               "       parcelmoor store [options] [BODY] store one request body\n"
               "       parcelmoor cgi [options]          answer one CGI request\n"
               "Run a command with --help for its options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace parcelmoor::apps;
  // A web server that runs us as a CGI program sets GATEWAY_INTERFACE.
  if (argc < 2 && std::getenv("GATEWAY_INTERFACE") != nullptr) return RunCgi(argc - 1, argv + 1);
  if (argc < 2 || argv[1][0] == '-') {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      PrintUsage(stdout);
      return 0;
    }
    if (std::getenv("GATEWAY_INTERFACE") != nullptr) return RunCgi(argc - 1, argv + 1);
    return RunServe(argc - 1, argv + 1);
  }
  const char* command = argv[1];
  if (std::strcmp(command, "serve") == 0) return RunServe(argc - 2, argv + 2);
  if (std::strcmp(command, "store") == 0) return RunStore(argc - 2, argv + 2);
  if (std::strcmp(command, "cgi") == 0) return RunCgi(argc - 2, argv + 2);
  std::fprintf(stderr, "parcelmoor: unknown command '%s'\n", command);
  PrintUsage(stderr);
  return 2;
}
