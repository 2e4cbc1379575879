#pragma once
// The private directory shared with an application's group (serve and cgi
// --forward-group): an application running as another user, in that group,
// links or moves the files that wait there for its decision. The directory
// then belongs to the group with mode 02770 (group read, write and search;
// setgid, so that every file and directory made in it belongs to the group
// too); its files are made group-writable by the process's file mode mask,
// which keeps the group's bits open (a hard link of another user's file
// needs read and write access to it).
//
// Without a group nothing changes: 0700, the server's alone.

#include <sys/types.h>

#include <optional>
#include <string>

namespace parcelmoor {

// From now on every private directory is made for `group`; the directory of
// `uploadDirectory` is made or changed so now, and the file mode mask stops
// taking the group's bits. False with `error` set when the group cannot be
// given (the process is not in it).
bool SharePrivateDirectoryWith(const std::string& uploadDirectory, gid_t group, std::string& error);

// Makes the private directory `path` when missing: 0700, or shared with the
// group set above. Returns as mkdir(2) does (0, or -1 with errno; EEXIST
// when it was there).
int MakePrivateDirectory(const std::string& path);

// The group's id for a name or a number; none when there is no such group.
std::optional<gid_t> GroupNamed(const std::string& name);

}  // namespace parcelmoor
