#pragma once
// The subcommands of the parcelmoor executable. Each takes the arguments after
// its own name and returns the process exit status.

namespace parcelmoor::apps {

int RunStore(int argc, char** argv);
int RunServe(int argc, char** argv);
int RunCgi(int argc, char** argv);

}  // namespace parcelmoor::apps
