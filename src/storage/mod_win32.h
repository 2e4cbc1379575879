#pragma once
// The operating-system file calls the upload file writer makes, under their
// Windows names and contracts, realised over POSIX. Handles are 32-bit, -1
// when there is none. "\" and "/" both separate directories. Share mode 0 is
// an exclusive flock on the open file: while a handle is open on a file,
// opening or deleting it again fails with 32, between threads and processes.
// GetLastError is per thread and returns Windows codes mapped from errno.
//
// The calls go through FileLayer so that tests can inject failures; the
// POSIX layer is the one every upload object uses unless told otherwise.

#include <cstddef>
#include <cstdint>
#include <string>

namespace parcelmoor {
namespace modWin32 {

inline constexpr int32_t INVALID_HANDLE_VALUE = -1;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t MOVEFILE_REPLACE_EXISTING = 1;

inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;

// Identity of a stored file (device and inode), so that a clean-up deletes
// only the file that was created, never a later file of the same name.
// `generation` tells apart files that reuse a freed inode number (a file
// deleted and a new one created under its name a moment later).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t generation = 0;
  bool operator==(const FileIdentity&) const = default;
};

// `path` with every "\\" turned into "/".
std::string PosixPath(const std::string& path);

// Plain block copy.
void RtlMoveMemory(void* destination, const void* source, size_t length);

class FileLayer {
 public:
  virtual ~FileLayer() = default;

  // OPEN_ALWAYS opens or creates the file for writing, never following a
  // symbolic link in the last component, and takes the exclusive lock before
  // anything can change the file. Returns a handle or -1.
  virtual int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                              uint32_t creationDisposition, uint32_t flagsAndAttributes) = 0;
  // Writes all `count` bytes (retrying short writes and interrupted calls);
  // `*written` < count means a real failure, with its code for GetLastError.
  virtual bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) = 0;
  // Truncates the file at the handle's current position (0 right after open).
  virtual bool SetEndOfFile(int32_t hFile) = 0;
  virtual bool CloseHandle(int32_t hFile) = 0;
  // Deletes a file; fails with 32 while a handle is open on it, 2 when missing.
  virtual bool DeleteFileA(const std::string& path) = 0;
  virtual uint32_t GetLastError() = 0;
  // Renames `from` to `to` in one step; with MOVEFILE_REPLACE_EXISTING an
  // existing file (not a directory) of that name is replaced atomically,
  // without it the move fails when `to` exists. Neither name is followed
  // through a symbolic link.
  virtual bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) = 0;

  // Identity of the file behind an open handle.
  virtual bool GetFileIdentity(int32_t hFile, FileIdentity* identity) = 0;
  // Deletes `path` only while it still names the file `identity`; as
  // DeleteFileA otherwise.
  virtual bool DeleteFileIfIdentity(const std::string& path, const FileIdentity& identity) = 0;

  // The POSIX layer.
  static FileLayer& Posix();
};

// Windows error code for an errno value. `creating` distinguishes the open
// (a missing directory is 3) from the delete (a missing file is 2).
uint32_t WindowsErrorFromErrno(int err, bool creating);

}  // namespace modWin32
}  // namespace parcelmoor
