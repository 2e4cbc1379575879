#include "storage/mod_win32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/upload_harness.h"

namespace parcelmoor::modWin32 {
namespace {

namespace fs = std::filesystem;
using parcelmoor::testing::ReadFile;
using parcelmoor::testing::TempDir;

FileLayer& Files() { return FileLayer::Posix(); }

int32_t Open(const std::string& path) {
  return Files().CreateFileA(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
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
      {EXDEV, true, ERROR_GEN_FAILURE},         {EEXIST, true, ERROR_FILE_EXISTS},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WindowsErrorFromErrno(row.err, row.creating), row.code)
        << "errno " << row.err << (row.creating ? " on create" : " on delete");
  }
}

// A new file is only ever one this call made: whatever already has the name
// (a file, a hard link to a file elsewhere, a link, a dangling link) fails
// the open and is not written through.
TEST(PosixFileLayer, CreateNewOpensOnlyAFileItMadeAndSaysWhyNot) {
  TempDir dir;
  const fs::path outside = dir.path() / "outside.txt";
  parcelmoor::testing::WriteFile(outside, "precious");
  parcelmoor::testing::WriteFile(dir.path() / "plain.txt", "x");
  fs::create_hard_link(outside, dir.path() / "hard.txt");
  fs::create_symlink(outside, dir.path() / "link.txt");
  fs::create_symlink(dir.path() / "nowhere.txt", dir.path() / "dangling.txt");
  fs::create_directory(dir.path() / "sub");
  struct Row {
    const char* why;
    std::string path;
    uint32_t code;
  };
  const Row rows[] = {
      {"a new name", (dir.path() / "new.txt").string(), 0},
      {"an existing file", (dir.path() / "plain.txt").string(), ERROR_FILE_EXISTS},
      {"a planted hard link", (dir.path() / "hard.txt").string(), ERROR_FILE_EXISTS},
      {"a planted symbolic link", (dir.path() / "link.txt").string(), ERROR_FILE_EXISTS},
      {"a dangling symbolic link", (dir.path() / "dangling.txt").string(), ERROR_FILE_EXISTS},
      {"a directory", (dir.path() / "sub").string(), ERROR_FILE_EXISTS},
      {"a missing directory", (dir.path() / "none" / "a.txt").string(), ERROR_PATH_NOT_FOUND},
      {"a file used as a directory", (dir.path() / "plain.txt" / "a.txt").string(), ERROR_PATH_NOT_FOUND},
      {"a name longer than the file system allows", (dir.path() / std::string(300, 'n')).string(),
       ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    const int32_t h = Open(row.path);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, row.code != 0) << row.why;
    EXPECT_EQ(Files().GetLastError(), row.code) << row.why;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(Write(h, "new bytes")) << row.why;
      Files().CloseHandle(h);
    }
  }
  EXPECT_EQ(ReadFile(outside), "precious");
  EXPECT_EQ(ReadFile(dir.path() / "plain.txt"), "x");
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere.txt"));
}

TEST(PosixFileLayer, ABackslashIsPartOfAName) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  const std::string path = dir.str() + "/sub\\a.txt";
  int32_t h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Files().CloseHandle(h);
  EXPECT_TRUE(fs::exists(dir.path() / "sub\\a.txt"));
  EXPECT_FALSE(fs::exists(dir.path() / "sub" / "a.txt"));
}

TEST(PosixFileLayer, DeleteByIdentityRemovesNothingElse) {
  TempDir dir;
  const fs::path target = dir.path() / "target.txt";
  int32_t h = Open(target.string());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FileIdentity mine;
  ASSERT_TRUE(Files().GetFileIdentity(h, &mine));
  Files().CloseHandle(h);
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink(target, dir.path() / "link.txt");
  struct Row {
    const char* why;
    fs::path path;
    uint32_t code;
  };
  const Row rows[] = {
      {"a missing name", dir.path() / "missing.txt", ERROR_FILE_NOT_FOUND},
      {"a directory", dir.path() / "sub", ERROR_ACCESS_DENIED},
      {"a link to the file", dir.path() / "link.txt", ERROR_FILE_NOT_FOUND},
  };
  for (const Row& row : rows) {
    EXPECT_FALSE(Files().DeleteFileIfIdentity(row.path.string(), mine)) << row.why;
    EXPECT_EQ(Files().GetLastError(), row.code) << row.why;
  }
  EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_TRUE(fs::exists(target));
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

  fs::remove(path);
  h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FileIdentity theirs;
  ASSERT_TRUE(Files().GetFileIdentity(h, &theirs));
  Files().CloseHandle(h);
  EXPECT_TRUE(Files().DeleteFileIfIdentity(path, theirs));
  EXPECT_FALSE(fs::exists(path));
}

// The one-call identity of a new file must be the very identity the delete
// checks against later, or a committed file could never be removed (or, worse,
// another could). Here on the test directory's file system, and with each of
// its files in turn, so that a handle decoded wrongly shows.
TEST(PosixFileLayer, ANewFilesIdentityIsTheOneTheDeleteChecks) {
  TempDir dir;
  struct stat st;
  ASSERT_EQ(::stat(dir.str().c_str(), &st), 0);
  for (int i = 0; i < 3; ++i) {
    const std::string path = (dir.path() / ("n" + std::to_string(i))).string();
    const int32_t h = Open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FileIdentity quick, full;
    ASSERT_TRUE(Files().GetNewFileIdentity(h, static_cast<uint64_t>(st.st_dev), &quick));
    ASSERT_TRUE(Files().GetFileIdentity(h, &full));
    Files().CloseHandle(h);
    EXPECT_EQ(quick, full) << path;
    EXPECT_TRUE(Files().DeleteFileIfIdentity(path, quick));
    EXPECT_FALSE(fs::exists(path));
  }
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
    Files().DeleteFileIfIdentity((dir.path() / "missing.txt").string(), FileIdentity{});
    seenThere = Files().GetLastError();
  });
  other.join();
  EXPECT_EQ(seenThere, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Files().GetLastError(), ERROR_PATH_NOT_FOUND);
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
