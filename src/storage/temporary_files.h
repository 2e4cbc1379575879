#pragma once
// Where a file is written before it is committed: a hidden temporary in the
// same directory as its final name (so the commit is one atomic rename), named
// after the final name, and the sweep that removes what a crashed writer left.
//
// A writer holds an exclusive flock on its temporary from the moment it is
// created until it is committed or deleted; the lock of a process that has
// died is free. So a temporary whose lock can be taken has no live writer.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

// The temporary's name for `fileName` (a name without directory): it starts
// with ".parcelmoor-" and ends with ".part", holds at most the first 32 bytes
// of the name and a hash of the whole name, and is at most 66 bytes long.
// Equal names give equal temporaries.
std::string TemporaryNameFor(std::string_view fileName);

// Whether `name` has the shape of a temporary's name.
bool IsTemporaryName(std::string_view name);

// How old a temporary must be before a sweep may remove it: covers a writer
// that has just created its temporary and not yet locked it.
inline constexpr std::chrono::seconds kSweepGrace{10};

// Removes the temporaries directly in `directory` (regular files with a
// temporary's name, last changed at least `grace` ago) whose lock is free,
// each only while its name still names the file whose lock was taken. Never
// touches a temporary a live writer holds, nor any other entry. Returns the
// paths removed; a directory that cannot be read removes nothing.
std::vector<std::string> SweepTemporaries(const std::string& directory,
                                          std::chrono::seconds grace = kSweepGrace);

}  // namespace parcelmoor
