// parcelmoor: stores multipart/form-data uploads. `serve` runs the embedded
// HTTP server (the default), `cgi` answers one CGI request, `store` stores one
// request body read from a file.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"

#ifndef PARCELMOOR_VERSION
#define PARCELMOOR_VERSION "unknown"
#endif

namespace {

using parcelmoor::apps::RunCgi;
using parcelmoor::apps::RunServe;
using parcelmoor::apps::RunStore;
using parcelmoor::apps::RunSweep;

// The commands, for the usage text and --help-all.
struct CommandEntry {
  const char* name;
  const char* arguments;  // after the command's name in its usage line
  const char* summary;
  int (*printHelp)();
  bool isDefault = false;  // chosen when no command is named

  // "cgi [options]"; "[serve] [options]" for the default command.
  std::string Call() const {
    return (isDefault ? "[" + std::string(name) + "]" : std::string(name)) + " " + arguments;
  }
};

char kHelpOption[] = "--help";
char* kHelpArguments[] = {kHelpOption, nullptr};

const CommandEntry kCommands[] = {
    {"serve", "[options]", "run the upload server (the default command)",
     [] { return RunServe(1, kHelpArguments, "serve"); }, true},
    {"cgi", "[options]", "answer one request as a CGI program",
     [] { return RunCgi(1, kHelpArguments, "cgi"); }},
    {"store", "[options] [BODY]", "store one request body read from a file",
     [] { return RunStore(1, kHelpArguments); }},
    {"sweep", "--dir DIR", "remove what crashed uploads left in DIR",
     [] { return RunSweep(1, kHelpArguments); }},
};

void PrintUsage(std::FILE* out) {
  const char* lead = "usage:";
  auto line = [&](const std::string& call, const char* summary) {
    std::fprintf(out, "%-6s parcelmoor %-22s %s\n", lead, call.c_str(), summary);
    lead = "";
  };
  for (const CommandEntry& c : kCommands) line(c.Call(), c.summary);
  line("--version", "print the version");
  line("--help-all", "print every command's help");
  std::fprintf(out, "Run 'parcelmoor COMMAND --help' for a command's options.\n");
}

// Every command's help, shaped for help2man, which makes the manual page of
// it: "Usage:"/"or:" lines become the synopsis, a "*Title*" line starts a
// section.
void PrintAllHelp() {
  const char* lead = "Usage:";
  for (const CommandEntry& c : kCommands) {
    std::printf("%6s parcelmoor %s\n", lead, c.Call().c_str());
    lead = "or:";
  }
  std::printf("   or: parcelmoor --version\n\nCommands:\n");
  for (const CommandEntry& c : kCommands) std::printf("  %-8s %s\n", c.name, c.summary);
  for (const CommandEntry& c : kCommands) {
    std::printf("\n*parcelmoor %s*\n", c.name);
    std::fflush(stdout);
    c.printHelp();
  }
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
    if (argc >= 2 && Is(argv[1], "--help-all")) {
      PrintAllHelp();
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
