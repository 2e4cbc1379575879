#pragma once
// The subcommands of the parcelmoor executable. Each takes the arguments after
// its own name and returns the process exit status. `invokedAs` is the name
// messages use: the command's, or "" when it was chosen without being named.

namespace parcelmoor::apps {

int RunStore(int argc, char** argv);
int RunServe(int argc, char** argv, const char* invokedAs);
int RunCgi(int argc, char** argv, const char* invokedAs);

}  // namespace parcelmoor::apps
