#pragma once
// A file layer for tests: the POSIX layer underneath, with call counts and
// injected failures (a write that stops short, deletes, moves or syncs that
// fail) and a hook that runs right after a handle closes.

#include <atomic>
#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "storage/mod_win32.h"

namespace parcelmoor::testing {

class FakeFileLayer : public modWin32::FileLayer {
 public:
  // The `failWriteAt`-th WriteFile call (from 1; 0 for none) writes half of
  // its bytes and fails with the errno `failWriteErrno`.
  int failWriteAt = 0;
  int failWriteErrno = ENOSPC;
  // Every delete fails with EACCES (5) and deletes nothing.
  bool failDeletes = false;
  // Every sync fails with EIO.
  bool failSyncs = false;
  // WriteFile reports every byte written without reading or storing them:
  // counts past 2 GiB without the memory or the disk.
  bool discardWrites = false;
  // Every move fails with EACCES (5) and moves nothing.
  bool failMoves = false;
  // Runs before each CreateFileA with the path it is asked to create.
  std::function<void(const std::string&)> beforeCreate;
  // Runs after each CloseHandle.
  std::function<void()> afterClose;

  int writeCalls = 0;
  std::vector<uint32_t> writeSizes;
  std::atomic<int> syncCalls{0};  // syncs run side by side
  std::vector<std::string> deleteRequests;
  const std::set<int32_t>& openHandles() const { return open_; }

  int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                      uint32_t creationDisposition, uint32_t flagsAndAttributes) override {
    if (beforeCreate) beforeCreate(path);
    int32_t h = posix().CreateFileA(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
    Copy();
    if (h != modWin32::INVALID_HANDLE_VALUE) open_.insert(h);
    return h;
  }

  bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) override {
    ++writeCalls;
    writeSizes.push_back(count);
    if (discardWrites) {
      *written = count;
      return Set(0);
    }
    if (writeCalls == failWriteAt) {
      uint32_t half = 0;
      posix().WriteFile(hFile, buffer, count / 2, &half);
      *written = half;
      return Set(failWriteErrno);
    }
    bool ok = posix().WriteFile(hFile, buffer, count, written);
    Copy();
    return ok;
  }

  bool FlushFileBuffers(int32_t hFile) override {
    ++syncCalls;
    if (failSyncs) return Set(EIO);
    bool ok = posix().FlushFileBuffers(hFile);
    Copy();
    return ok;
  }

  bool CloseHandle(int32_t hFile) override {
    bool ok = posix().CloseHandle(hFile);
    Copy();
    open_.erase(hFile);
    if (afterClose) afterClose();
    return ok;
  }

  uint32_t GetLastError() override { return modWin32::WindowsErrorFromErrno(errno_, false); }
  int GetLastErrno() override { return errno_; }

  bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) override {
    if (failMoves) return Set(EACCES);
    bool ok = posix().MoveFileExA(from, to, flags);
    Copy();
    return ok;
  }

  bool GetFileIdentity(int32_t hFile, modWin32::FileIdentity* identity) override {
    bool ok = posix().GetFileIdentity(hFile, identity);
    Copy();
    return ok;
  }

  bool DeleteFileIfIdentity(const std::string& path, const modWin32::FileIdentity& identity) override {
    deleteRequests.push_back(path);
    if (failDeletes) return Set(EACCES);
    bool ok = posix().DeleteFileIfIdentity(path, identity);
    Copy();
    return ok;
  }

 private:
  static modWin32::FileLayer& posix() { return modWin32::FileLayer::Posix(); }
  void Copy() { errno_ = posix().GetLastErrno(); }
  bool Set(int err) {
    errno_ = err;
    return err == 0;
  }

  int errno_ = 0;
  std::set<int32_t> open_;
};

}  // namespace parcelmoor::testing
