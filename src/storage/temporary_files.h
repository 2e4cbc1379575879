#pragma once
// Where the local store keeps a file before it is committed, and the sweep
// that removes what a crashed writer left there.
//
// Every upload directory gets a private directory, ".parcelmoor" (mode 0700;
// shared with an application's group: storage/private_group.h).
// No upload can name anything inside it: a client's file name never holds a
// "/". A temporary there has a fresh random name of 128 bits, created with
// O_EXCL|O_NOFOLLOW, so no client can guess it, collide with it, or plant a
// link at it that the server would then write through.
//
// The private directory's lock files carry open-file-description locks on
// byte ranges, one descriptor per upload and lock file however many files it
// writes:
// - a name lock per final name (a range derived from the name, in one of the
//   kNameLockFiles name lock files, also chosen by the name), held from begin
//   to commit or abandon: another live upload of that name is refused;
// - a writer lock per upload (a range derived from a random writer id that
//   begins each of its temporaries' names), taken before its first temporary
//   is created and held while the upload lives. The kernel drops both when
//   the writer dies, so a temporary whose writer lock can be taken has no
//   live writer, at once after a crash, with no grace period to wait out.
//   These are in the lock file "locks", one per upload rather than per file:
//   the kernel walks a file's whole list of locks at every lock call.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

inline constexpr std::string_view kPrivateDirectoryName = ".parcelmoor";
inline constexpr size_t kNameLockFiles = 16;

// The private directory of the upload directory `directory` (a POSIX path).
std::string PrivateDirectoryOf(const std::string& directory);

// The private directory's lock file of writer locks.
inline constexpr const char* kWriterLockFileName = "locks";

// Creates the private directory of `directory` when missing and opens it.
// Returns the descriptor, or -1 with errno set (a missing upload directory
// gives ENOENT, a private "directory" that is a link or a file ENOTDIR or
// ELOOP).
int OpenPrivateDirectory(const std::string& directory);
// Opens (creating) the lock file `name` of the open private directory
// `privateDir` for reading and writing (the locks need it); -1 with errno.
int OpenLockFileIn(int privateDir, const char* name);

// A fresh writer id: 16 random hexadecimal digits. A fresh temporary's name:
// the writer's id, 16 more random digits and ".part" (128 random bits in all).
// Both return "" with errno set when the system has no randomness to give.
std::string NewWriterId();
std::string NewTemporaryName(std::string_view writerId);
// Whether `name` has the shape NewTemporaryName gives.
bool IsTemporaryName(std::string_view name);

// The lock ranges (one byte each) of a writer (given its id or the name of
// one of its temporaries) and of a final name.
off_t WriterLockOffset(std::string_view writerIdOrTemporaryName);
off_t NameLockOffset(std::string_view fileName);
// Which of the kNameLockFiles name lock files holds `fileName`'s lock, and
// that file's name in the private directory ("names-0" to "names-f").
size_t NameLockFileIndex(std::string_view fileName);
const char* NameLockFileName(std::string_view fileName);
// Takes the write lock on the byte at `offset` for the open file description
// of `fd`, without waiting; false (errno EAGAIN) while another holds it.
bool TryLockRange(int fd, off_t offset);
void UnlockRange(int fd, off_t offset);
// Releases every name lock this open file description holds, in one call;
// its writer lock stays.
void UnlockNameRanges(int fd);

// Creates the private directory of `directory` when missing (so that no
// upload can take its name first), then removes the temporaries in it whose
// writer is gone, each under its writer lock, and nothing else (not the lock
// file, not a file of any other name, nothing outside the private directory).
// Returns the paths removed; a directory that cannot be read removes nothing.
std::vector<std::string> SweepTemporaries(const std::string& directory);

// Sweeps when no sweep of `directory` began in the last `interval` (a stamp
// file in the private directory says when the last began), so that a host
// run per request pays for a sweep only now and then. Returns what it removed.
std::vector<std::string> SweepIfDue(const std::string& directory, std::chrono::seconds interval);

}  // namespace parcelmoor
