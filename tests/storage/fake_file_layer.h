#pragma once
// A file layer for tests: the POSIX layer underneath, with call counts and
// injected failures (a write that stops short, deletes that fail, a
// truncation that fails) and a hook that runs right after a handle closes.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "storage/mod_win32.h"

namespace parcelmoor::testing {

class FakeFileLayer : public modWin32::FileLayer {
 public:
  // The `failWriteAt`-th WriteFile call (from 1; 0 for none) writes half of
  // its bytes and fails with `failWriteCode`.
  int failWriteAt = 0;
  uint32_t failWriteCode = modWin32::ERROR_DISK_FULL;
  // Every delete fails with 5 and deletes nothing.
  bool failDeletes = false;
  // SetEndOfFile fails with 5.
  bool failTruncate = false;
  // WriteFile reports every byte written without reading or storing them:
  // counts past 2 GiB without the memory or the disk.
  bool discardWrites = false;
  // Every move fails with 5 and moves nothing.
  bool failMoves = false;
  // Runs after each CloseHandle.
  std::function<void()> afterClose;

  int writeCalls = 0;
  std::vector<uint32_t> writeSizes;
  std::vector<std::string> deleteRequests;
  const std::set<int32_t>& openHandles() const { return open_; }

  int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                      uint32_t creationDisposition, uint32_t flagsAndAttributes) override {
    int32_t h = posix().CreateFileA(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
    last_ = posix().GetLastError();
    if (h != modWin32::INVALID_HANDLE_VALUE) open_.insert(h);
    return h;
  }

  bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) override {
    ++writeCalls;
    writeSizes.push_back(count);
    if (discardWrites) {
      *written = count;
      last_ = 0;
      return true;
    }
    if (writeCalls == failWriteAt) {
      uint32_t half = 0;
      posix().WriteFile(hFile, buffer, count / 2, &half);
      *written = half;
      last_ = failWriteCode;
      return false;
    }
    bool ok = posix().WriteFile(hFile, buffer, count, written);
    last_ = posix().GetLastError();
    return ok;
  }

  bool SetEndOfFile(int32_t hFile) override {
    if (failTruncate) {
      last_ = modWin32::ERROR_ACCESS_DENIED;
      return false;
    }
    bool ok = posix().SetEndOfFile(hFile);
    last_ = posix().GetLastError();
    return ok;
  }

  bool CloseHandle(int32_t hFile) override {
    bool ok = posix().CloseHandle(hFile);
    last_ = posix().GetLastError();
    open_.erase(hFile);
    if (afterClose) afterClose();
    return ok;
  }

  bool DeleteFileA(const std::string& path) override {
    deleteRequests.push_back(path);
    if (failDeletes) {
      last_ = modWin32::ERROR_ACCESS_DENIED;
      return false;
    }
    bool ok = posix().DeleteFileA(path);
    last_ = posix().GetLastError();
    return ok;
  }

  uint32_t GetLastError() override { return last_; }

  bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) override {
    if (failMoves) {
      last_ = modWin32::ERROR_ACCESS_DENIED;
      return false;
    }
    bool ok = posix().MoveFileExA(from, to, flags);
    last_ = posix().GetLastError();
    return ok;
  }

  bool GetFileIdentity(int32_t hFile, modWin32::FileIdentity* identity) override {
    bool ok = posix().GetFileIdentity(hFile, identity);
    last_ = posix().GetLastError();
    return ok;
  }

  bool DeleteFileIfIdentity(const std::string& path, const modWin32::FileIdentity& identity) override {
    deleteRequests.push_back(path);
    if (failDeletes) {
      last_ = modWin32::ERROR_ACCESS_DENIED;
      return false;
    }
    bool ok = posix().DeleteFileIfIdentity(path, identity);
    last_ = posix().GetLastError();
    return ok;
  }

 private:
  static modWin32::FileLayer& posix() { return modWin32::FileLayer::Posix(); }

  uint32_t last_ = 0;
  std::set<int32_t> open_;
};

}  // namespace parcelmoor::testing
