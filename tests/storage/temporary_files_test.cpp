// What no other client can do to an upload's temporary, and what the sweep
// may and may not remove.
#include "storage/temporary_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "storage/fake_file_layer.h"
#include "storage/local_store.h"
#include "storage/lock_holder_process.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Begins, writes and finishes `name` in `store`; returns where it waits.
std::string Finished(Store& store, const std::string& dir, const std::string& name, const std::string& bytes,
                     Store::Ticket* ticket) {
  StoreFile file;
  if (store.begin(dir + "\\", name, ticket, &file)) return "";
  size_t written = 0;
  store.write(*ticket, Bytes(bytes), &written);
  store.finish(*ticket);
  return file.pendingPath;
}

// A writer killed mid-file: begins `name` in a child that then dies without
// any clean-up. Returns what it left.
std::string CrashedWriterLeaves(const std::string& dir, const std::string& name) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "";
  const pid_t pid = ::fork();
  if (pid == 0) {
    LocalStore store;
    Store::Ticket ticket;
    StoreFile file;
    store.begin(dir + "\\", name, &ticket, &file);
    (void)!::write(pipeFds[1], file.pendingPath.data(), file.pendingPath.size());
    ::_exit(0);  // no destructor runs: as a crash
  }
  ::close(pipeFds[1]);
  std::string path(4096, '\0');
  const ssize_t n = ::read(pipeFds[0], path.data(), path.size());
  path.resize(n > 0 ? static_cast<size_t>(n) : 0);
  ::close(pipeFds[0]);
  ::waitpid(pid, nullptr, 0);
  return path;
}

TEST(TemporaryNameTest, IsFreshRandomAndRecognised) {
  std::set<std::string> seen;
  const std::string writer = NewWriterId();
  for (int i = 0; i < 100; ++i) seen.insert(NewTemporaryName(writer));
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_TRUE(IsTemporaryName(*seen.begin()));
  EXPECT_EQ(WriterLockOffset(*seen.begin()), WriterLockOffset(writer));
  EXPECT_NE(NewWriterId(), writer);
  for (const char* name : {".parcelmoor-notes-0123456789abcdef.part", "notes.part", "locks",
                           "0123456789ABCDEF0123456789abcdef.part", "0123456789abcdef0123456789abcde.part"}) {
    EXPECT_FALSE(IsTemporaryName(name)) << name;
  }
}

// Each row is something another client (or a local user) does while an
// upload of "report.pdf" is under way; the upload must still commit its own
// bytes and nothing else may be written or lost.
TEST(TemporaryAttackTest, NoOtherClientCanReplaceReadOrWriteThroughAnUploadsTemporary) {
  using Attack = std::function<void(const std::string& dir, const std::string& pending, testing::FakeFileLayer&)>;
  struct Row {
    const char* why;
    Attack before;  // after the victim began, before it commits
    bool plantAtCreate;
  };
  const Row rows[] = {
      {"an upload named like the old scheme's temporary",
       [](const std::string& dir, const std::string&, testing::FakeFileLayer&) {
         LocalStore attacker;
         Store::Ticket t;
         Finished(attacker, dir, ".parcelmoor-report.pdf-0123456789abcdef.part", "EVIL", &t);
         attacker.commit(std::span(&t, 1));
       },
       false},
      {"an upload named like the victim's temporary",
       [](const std::string& dir, const std::string& pending, testing::FakeFileLayer&) {
         LocalStore attacker;
         Store::Ticket t;
         Finished(attacker, dir, fs::path(pending).filename().string(), "EVIL", &t);
         attacker.commit(std::span(&t, 1));
       },
       false},
      {"a hard link planted at the temporary's name", nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    TempDir dir;
    const fs::path outside = dir.path() / "outside.txt";
    testing::WriteFile(outside, "precious");
    testing::FakeFileLayer files;
    if (row.plantAtCreate) {
      // The only way to meet the name: be told it at the very moment.
      files.beforeCreate = [&](const std::string& path) { fs::create_hard_link(outside, path); };
      LocalStore victim({}, files);
      Store::Ticket t;
      StoreFile file;
      EXPECT_EQ(victim.begin(dir.str() + "\\", "report.pdf", &t, &file).cause, StoreCause::kIo);
      EXPECT_TRUE(files.openHandles().empty());
      EXPECT_EQ(ReadFile(outside), "precious");
      continue;
    }
    LocalStore victim({}, files);
    Store::Ticket t;
    const std::string pending = Finished(victim, dir.str(), "report.pdf", "the victim's bytes", &t);
    ASSERT_FALSE(pending.empty());
    row.before(dir.str(), pending, files);
    EXPECT_FALSE(victim.commit(std::span(&t, 1))[0]);
    EXPECT_EQ(ReadFile(dir.path() / "report.pdf"), "the victim's bytes");
    EXPECT_EQ(ReadFile(outside), "precious");
  }
}

TEST(SweepTest, RemovesOnlyTemporariesOfDeadWritersAndNeverAUsersFile) {
  TempDir dir;
  const std::string d = dir.str();
  const std::string dead = CrashedWriterLeaves(d, "a.bin");
  ASSERT_TRUE(fs::exists(dead));
  testing::LockHolderProcess live(d + "\\", "b.bin");
  ASSERT_TRUE(live.holds());
  const fs::path privateDir = PrivateDirectoryOf(d);
  struct Kept {
    const char* why;
    fs::path path;
  };
  const Kept kept[] = {
      {"a user's file named like an old temporary", dir.path() / ".parcelmoor-notes-0123456789abcdef.part"},
      {"a user's file named like a new temporary", dir.path() / "0123456789abcdef0123456789abcdef.part"},
      {"another name in the private directory", privateDir / "notes.part"},
  };
  for (const Kept& k : kept) testing::WriteFile(k.path, "keep");
  const fs::path link = privateDir / "fedcba9876543210fedcba9876543210.part";
  fs::create_symlink(dir.path() / ".parcelmoor-notes-0123456789abcdef.part", link);

  // At once after the crash: no grace to wait out.
  EXPECT_EQ(SweepTemporaries(d), std::vector<std::string>{dead});
  for (const Kept& k : kept) EXPECT_EQ(ReadFile(k.path), "keep") << k.why;
  EXPECT_TRUE(fs::is_symlink(link)) << "a link is not a temporary the server made";
  size_t liveTemporaries = 0;
  for (const auto& e : fs::directory_iterator(privateDir))
    liveTemporaries += IsTemporaryName(e.path().filename().string()) && !fs::is_symlink(e.path());
  EXPECT_EQ(liveTemporaries, 1u) << "the live writer's";
  EXPECT_TRUE(SweepTemporaries(d + "/missing").empty());
}

TEST(SweepTest, SweepIfDueSweepsOnlyOncePerInterval) {
  TempDir dir;
  const std::string d = dir.str();
  struct Step {
    std::chrono::seconds interval;
    size_t removed;  // the crashed writers' temporaries left so far
  };
  const Step steps[] = {{std::chrono::minutes(5), 1}, {std::chrono::minutes(5), 0}, {std::chrono::seconds(0), 2}};
  for (const Step& step : steps) {
    const std::string dead = CrashedWriterLeaves(d, "a.bin");
    EXPECT_EQ(SweepIfDue(d, step.interval).size(), step.removed);
    EXPECT_EQ(fs::exists(dead), step.removed == 0);
  }
}

}  // namespace
}  // namespace parcelmoor
