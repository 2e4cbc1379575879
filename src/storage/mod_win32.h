#pragma once
// The file calls the local store makes, under their Windows names, realised
// over POSIX, and the Windows error codes the component reports for a failed
// file call. Handles are 32-bit, -1 when there is none. Paths are POSIX paths,
// taken literally: a backslash is a byte of a name like any other. GetLastError is
// per thread and returns the Windows code mapped from the failed call's errno,
// GetLastErrno that errno.
//
// The calls go through FileLayer so that tests can inject failures; the
// POSIX layer is the one every store uses unless told otherwise.

#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/file_identity.h"

namespace parcelmoor {
namespace modWin32 {

inline constexpr int32_t INVALID_HANDLE_VALUE = -1;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t CREATE_NEW = 1;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t MOVEFILE_REPLACE_EXISTING = 1;

inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;

using FileIdentity = parcelmoor::FileIdentity;

// Plain block copy.
void RtlMoveMemory(void* destination, const void* source, size_t length);

class FileLayer {
 public:
  virtual ~FileLayer() = default;

  // CREATE_NEW creates a new, empty regular file for writing; a name that
  // exists in any form (a file, a hard link, a symbolic link, even one that
  // points nowhere) fails with 80 and nothing is opened, so a handle is only
  // ever on a file this call made. Returns a handle or -1.
  virtual int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                              uint32_t creationDisposition, uint32_t flagsAndAttributes) = 0;
  // Writes all `count` bytes (retrying short writes and interrupted calls);
  // `*written` < count means a real failure, with its code for GetLastError.
  virtual bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) = 0;
  // Makes the file's data (and what is needed to read it back) durable.
  virtual bool FlushFileBuffers(int32_t hFile) = 0;
  virtual bool CloseHandle(int32_t hFile) = 0;
  virtual uint32_t GetLastError() = 0;
  // The errno behind the last failure of this thread, 0 after a success.
  virtual int GetLastErrno() = 0;
  // Renames `from` to `to` in one step; with MOVEFILE_REPLACE_EXISTING an
  // existing file (not a directory) of that name is replaced atomically,
  // without it the move fails when `to` exists. Neither name is followed
  // through a symbolic link.
  virtual bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) = 0;

  // The identity of a file this process created a moment ago in a directory
  // on `device`: the same as GetFileIdentity's, in fewer calls where the
  // layer can.
  virtual bool GetNewFileIdentity(int32_t hFile, uint64_t /*device*/, FileIdentity* identity) {
    return GetFileIdentity(hFile, identity);
  }

  // Identity of the file behind an open handle.
  virtual bool GetFileIdentity(int32_t hFile, FileIdentity* identity) = 0;
  // Deletes `path` only while it still names the regular file `identity`,
  // never following a symbolic link; fails with 2 when it names no such
  // file, 5 when it names a directory.
  virtual bool DeleteFileIfIdentity(const std::string& path, const FileIdentity& identity) = 0;

  // The POSIX layer.
  static FileLayer& Posix();
};

// Windows error code for an errno value. `creating` distinguishes the open
// (a missing directory is 3) from the delete (a missing file is 2).
uint32_t WindowsErrorFromErrno(int err, bool creating);

}  // namespace modWin32
}  // namespace parcelmoor
