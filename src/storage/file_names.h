#pragma once
// The rules for file names that every store follows, in one place: which
// names may be joined to a directory, where a component's directory ends,
// the numbered names keep-both tries, and what a commit does with a name
// that is taken.

#include <string>

namespace parcelmoor {

// A file name that may be joined to the upload directory: no directory
// separator, not "." or "..", no control byte.
bool IsSafeFileName(const std::string& name);

// What a component's upload directory puts in front of a file name: its
// trailing "\" (the one separator the component adds) becomes "/", every
// other byte stays as the user wrote it.
std::string UploadDirectoryPrefix(const std::string& componentDirectory);
// The directory part of a POSIX path ("." when it has none).
std::string DirectoryOf(const std::string& path);
// `path` with " (n)" before its name's extension: "d/x.txt" -> "d/x (2).txt";
// a name without one, or with only a leading '.', gets it at the end.
std::string NumberedName(const std::string& path, int n);

// What commit does when a file's final name is taken.
enum class OnExists {
  kReplace,   // the new file takes the name in one step (rename)
  kKeepBoth,  // the new file takes the first free "x (1).txt", "x (2).txt", ...
  kRefuse,    // the earlier file stays; the new one is given up (kNameExists)
};

// Most names keep-both tries before it refuses the file.
inline constexpr int kKeepBothTries = 1000;

}  // namespace parcelmoor
