#include "storage/mod_win32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "storage/lock_holder_process.h"
#include "support/upload_harness.h"

namespace parcelmoor::modWin32 {
namespace {

namespace fs = std::filesystem;
using parcelmoor::testing::LockHolderProcess;
using parcelmoor::testing::ReadFile;
using parcelmoor::testing::TempDir;

FileLayer& Files() { return FileLayer::Posix(); }

int32_t Open(const std::string& path) {
  return Files().CreateFileA(path, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

bool Write(int32_t h, const std::string& bytes) {
  uint32_t written = 0;
  return Files().WriteFile(h, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                           &written) &&
         written == bytes.size();
}

TEST(WindowsErrorFromErrno, MapsEachErrnoToItsWindowsCode) {
  struct Row {
    int err;
    bool creating;
    uint32_t code;
  };
  const Row rows[] = {
      {ENOENT, true, ERROR_PATH_NOT_FOUND},     {ENOENT, false, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, true, ERROR_PATH_NOT_FOUND},    {ENOTDIR, false, ERROR_PATH_NOT_FOUND},
      {EACCES, true, ERROR_ACCESS_DENIED},      {EPERM, false, ERROR_ACCESS_DENIED},
      {EISDIR, true, ERROR_ACCESS_DENIED},      {ELOOP, true, ERROR_ACCESS_DENIED},
      {ENOSPC, false, ERROR_DISK_FULL},         {EDQUOT, false, ERROR_DISK_FULL},
      {EFBIG, false, ERROR_DISK_FULL},          {EROFS, true, ERROR_WRITE_PROTECT},
      {ENAMETOOLONG, true, ERROR_FILENAME_EXCED_RANGE}, {EMFILE, true, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, true, ERROR_TOO_MANY_OPEN_FILES}, {EINVAL, true, ERROR_INVALID_NAME},
      {EILSEQ, true, ERROR_INVALID_NAME},       {EWOULDBLOCK, false, ERROR_SHARING_VIOLATION},
      {ETXTBSY, true, ERROR_SHARING_VIOLATION}, {EIO, false, ERROR_GEN_FAILURE},
      {EXDEV, true, ERROR_GEN_FAILURE},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WindowsErrorFromErrno(row.err, row.creating), row.code)
        << "errno " << row.err << (row.creating ? " on create" : " on delete");
  }
}

TEST(PosixFileLayer, OpenAlwaysKeepsExistingBytesAndWritesFromTheStart) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  parcelmoor::testing::WriteFile(path, "abcdef");
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(h, "XY"));
  EXPECT_TRUE(Files().CloseHandle(h));
  EXPECT_EQ(ReadFile(path), "XYcdef");
}

TEST(PosixFileLayer, SetEndOfFileCutsAtTheCurrentPosition) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  parcelmoor::testing::WriteFile(path, std::string(20, 'o'));
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(h, "0123456789"));
  EXPECT_TRUE(Files().SetEndOfFile(h));
  Files().CloseHandle(h);
  EXPECT_EQ(ReadFile(path), "0123456789");
}

TEST(PosixFileLayer, BackslashSeparatesDirectories) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  const std::string path = dir.str() + "\\sub\\a.txt";
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Files().CloseHandle(h);
  EXPECT_TRUE(fs::exists(dir.path() / "sub" / "a.txt"));
  EXPECT_TRUE(Files().DeleteFileA(path));
  EXPECT_FALSE(fs::exists(dir.path() / "sub" / "a.txt"));
}

TEST(PosixFileLayer, OpenFailuresCarryTheirCodes) {
  TempDir dir;
  parcelmoor::testing::WriteFile(dir.path() / "plain.txt", "x");
  fs::create_directory(dir.path() / "sub");
  struct Row {
    const char* why;
    std::string path;
    uint32_t code;
  };
  const Row rows[] = {
      {"missing directory", (dir.path() / "none" / "a.txt").string(), ERROR_PATH_NOT_FOUND},
      {"a file used as a directory", (dir.path() / "plain.txt" / "a.txt").string(), ERROR_PATH_NOT_FOUND},
      {"a directory as the target", (dir.path() / "sub").string(), ERROR_ACCESS_DENIED},
      {"a name longer than the file system allows", (dir.path() / std::string(300, 'n')).string(),
       ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Open(row.path), INVALID_HANDLE_VALUE) << row.why;
    EXPECT_EQ(Files().GetLastError(), row.code) << row.why;
  }
}

TEST(PosixFileLayer, OpenNeverFollowsASymbolicLink) {
  TempDir dir;
  const fs::path target = dir.path() / "target.txt";
  parcelmoor::testing::WriteFile(target, "precious");
  fs::create_symlink(target, dir.path() / "link.txt");
  fs::create_symlink(dir.path() / "nowhere.txt", dir.path() / "dangling.txt");

  EXPECT_EQ(Open((dir.path() / "link.txt").string()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Files().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open((dir.path() / "dangling.txt").string()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Files().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(target), "precious");
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere.txt"));
}

TEST(PosixFileLayer, AHeldFileCanBeNeitherOpenedNorDeleted) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Files().GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Files().DeleteFileA(path));
  EXPECT_EQ(Files().GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(fs::exists(path));

  Files().CloseHandle(h);
  EXPECT_TRUE(Files().DeleteFileA(path));
  EXPECT_FALSE(fs::exists(path));
}

TEST(PosixFileLayer, AFileHeldByAnotherProcessCanBeNeitherOpenedNorDeleted) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  LockHolderProcess other(path);
  ASSERT_TRUE(other.holds());

  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Files().GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Files().DeleteFileA(path));
  EXPECT_EQ(Files().GetLastError(), ERROR_SHARING_VIOLATION);

  other.Release();
  int32_t h = Open(path);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  Files().CloseHandle(h);
}

TEST(PosixFileLayer, DeleteFailuresCarryTheirCodes) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  EXPECT_FALSE(Files().DeleteFileA((dir.path() / "missing.txt").string()));
  EXPECT_EQ(Files().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Files().DeleteFileA((dir.path() / "sub").string()));
  EXPECT_EQ(Files().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
  // The trailing separator the upload directory carries: a directory still.
  EXPECT_FALSE(Files().DeleteFileA(dir.str() + "\\sub\\"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
}

TEST(PosixFileLayer, DeleteRemovesALinkNotItsTarget) {
  TempDir dir;
  const fs::path target = dir.path() / "target.txt";
  parcelmoor::testing::WriteFile(target, "precious");
  fs::create_symlink(target, dir.path() / "link.txt");
  EXPECT_TRUE(Files().DeleteFileA((dir.path() / "link.txt").string()));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_EQ(ReadFile(target), "precious");
}

TEST(PosixFileLayer, DeleteByIdentitySparesAFileThatTookTheName) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FileIdentity mine;
  ASSERT_TRUE(Files().GetFileIdentity(h, &mine));
  Files().CloseHandle(h);

  // Someone else deletes it and stores their own file under the name, most
  // likely under the inode number just freed.
  fs::remove(path);
  parcelmoor::testing::WriteFile(path, "theirs");
  EXPECT_FALSE(Files().DeleteFileIfIdentity(path, mine));
  EXPECT_EQ(Files().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(path), "theirs");

  h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FileIdentity theirs;
  ASSERT_TRUE(Files().GetFileIdentity(h, &theirs));
  EXPECT_FALSE(Files().DeleteFileIfIdentity(path, theirs)) << "held: the lock refuses";
  EXPECT_EQ(Files().GetLastError(), ERROR_SHARING_VIOLATION);
  Files().CloseHandle(h);
  EXPECT_TRUE(Files().DeleteFileIfIdentity(path, theirs));
  EXPECT_FALSE(fs::exists(path));
}

TEST(PosixFileLayer, AStoppedWriteReportsTheBytesWrittenAndTheCode) {
  TempDir dir;
  const std::string path = (dir.path() / "a.txt").string();
  // The file size limit stops the write part-way; done in a child so that
  // the limit never touches the test process.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    int32_t h = Open(path);
    if (h == INVALID_HANDLE_VALUE) ::_exit(11);
    std::string bytes(1500, 'z');
    uint32_t written = 7;
    bool ok = Files().WriteFile(h, reinterpret_cast<const uint8_t*>(bytes.data()), 1500, &written);
    if (ok) ::_exit(12);
    if (written != 1000) ::_exit(13);
    if (Files().GetLastError() != ERROR_DISK_FULL) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setrlimit, 11 open, 12 no failure, 13 count, 14 code";
  EXPECT_EQ(fs::file_size(path), 1000u);
}

TEST(PosixFileLayer, CallsOnAMissingHandleFail) {
  uint32_t written = 9;
  const uint8_t byte = 1;
  EXPECT_FALSE(Files().WriteFile(-1, &byte, 1, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_NE(Files().GetLastError(), 0u);
  EXPECT_FALSE(Files().CloseHandle(-1));
  FileIdentity identity;
  EXPECT_FALSE(Files().GetFileIdentity(-1, &identity));
}

TEST(PosixFileLayer, LastErrorBelongsToEachThread) {
  TempDir dir;
  EXPECT_EQ(Open((dir.path() / "none" / "a.txt").string()), INVALID_HANDLE_VALUE);
  ASSERT_EQ(Files().GetLastError(), ERROR_PATH_NOT_FOUND);
  uint32_t seenThere = 0;
  std::thread other([&] {
    Files().DeleteFileA((dir.path() / "missing.txt").string());
    seenThere = Files().GetLastError();
  });
  other.join();
  EXPECT_EQ(seenThere, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Files().GetLastError(), ERROR_PATH_NOT_FOUND);
}

// Uploads of one name racing each other: whenever an open succeeds, the
// handle is on the file the name names, for as long as it is held, even
// when another holder deleted the file between this open and its lock.
TEST(PosixFileLayer, AHeldHandleAlwaysNamesTheFileAtItsPath) {
  TempDir dir;
  const std::string path = (dir.path() / "race.txt").string();
  std::atomic<int> strayHandles{0};
  std::atomic<int> opens{0};
  auto worker = [&] {
    for (int i = 0; i < 5000; ++i) {
      int32_t h = Open(path);
      if (h == INVALID_HANDLE_VALUE) continue;
      ++opens;
      struct stat held;
      struct stat named;
      if (::fstat(h, &held) != 0 || ::lstat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino) {
        ++strayHandles;
      }
      Files().CloseHandle(h);
      Files().DeleteFileA(path);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  EXPECT_GT(opens.load(), 0);
  EXPECT_EQ(strayHandles.load(), 0);
}

TEST(RtlMoveMemory, CopiesOverlappingBlocks) {
  char bytes[] = "abcdefgh";
  RtlMoveMemory(bytes + 2, bytes, 5);
  EXPECT_STREQ(bytes, "ababcdeh");
  RtlMoveMemory(bytes, bytes + 1, 0);
  EXPECT_STREQ(bytes, "ababcdeh");
}

}  // namespace
}  // namespace parcelmoor::modWin32
