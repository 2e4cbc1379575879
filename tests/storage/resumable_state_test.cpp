// A resumable upload's sealed state, the lock that keeps a second writer
// off an upload, and a store taking a finished spool file (by a link, or by
// the default copy any store gets) while the spool keeps its bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "storage/local_store.h"
#include "storage/resumable/resumable_files.h"
#include "storage/resumable/resumable_state.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

ResumableState FullState() {
  ResumableState state;
  state.length = int64_t{5} << 30;  // past 32 bits
  state.offset = 123456789;
  state.expires = 1'900'000'000;
  state.client = "[::1]:4711";
  state.credentials = std::string(64, 'a');
  state.metadata = "filename aGVsbG8udHh0,private";
  state.directory = "up loads/\xc3\xa9\\";
  state.maxFileBytes = 1 << 20;
  state.forwardHeaders = {{"parcelmoor-forward-user", "alice\nbob"}, {"parcelmoor-forward-quota", ""}};
  return state;
}

TEST(ResumableStateTest, RoundTripsAndRefusesEveryTornOrForeignText) {
  const std::string key(32, 'k');
  const ResumableState state = FullState();
  const std::string text = SerializeResumableState(state, key);
  auto back = ParseResumableState(text, key);
  ASSERT_TRUE(back);
  EXPECT_EQ(SerializeResumableState(*back, key), text);
  EXPECT_EQ(back->directory, state.directory);
  EXPECT_EQ(back->forwardHeaders, state.forwardHeaders);
  EXPECT_EQ(back->length, state.length);
  // A state cut anywhere (a torn write that was never renamed in) is no state.
  for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(ParseResumableState(text.substr(0, cut), key)) << cut;
  // Nor is one sealed under another key, or changed after its sealing (a
  // directory pointed elsewhere by whoever could write the file).
  EXPECT_FALSE(ParseResumableState(text, std::string(32, 'x')));
  std::string forged = text;
  forged.replace(forged.find("offset 123456789"), 16, "offset 123456780");
  EXPECT_FALSE(ParseResumableState(forged, key));
  ResumableState past = state;
  past.offset = past.length + 1;
  EXPECT_FALSE(ParseResumableState(SerializeResumableState(past, key), key));
}

TEST(ResumableStateTest, IdsAreFreshAndOnlyTheirShapeIsJoinedToAPath) {
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    const std::string id = NewResumableId();
    EXPECT_TRUE(IsResumableId(id)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100u);
  for (const char* bad : {"", "../../etc/passwd", "0123456789abcdef0123456789ABCDEF", "0123456789abcdef0123456789abcde",
                          "0123456789abcdef0123456789abcdef0", "0123456789abcdef0123456789abcde/"}) {
    EXPECT_FALSE(IsResumableId(bad)) << bad;
  }
}

TEST(ResumableDataTest, OneWriterAtATimeEvenWithinOneProcess) {
  TempDir dir;
  const std::string path = (dir.path() / "x.data").string();
  auto first = std::make_unique<ResumableData>(path, true);
  ResumableData second(path, false);
  ASSERT_TRUE(first->valid() && second.valid());
  EXPECT_TRUE(first->tryLock());
  EXPECT_FALSE(second.tryLock());  // a per-process lock would let this through
  first.reset();                   // the holder goes: so does its lock
  EXPECT_TRUE(second.tryLock());
  EXPECT_FALSE(ResumableData(path, true).valid());  // creation never takes an existing file
}

// A store of its own that leaves beginFrom to the base class, as a remote
// store does: it must copy.
class CopyingStore final : public parcelmoor::Store {
 public:
  StoreError begin(const std::string& d, const std::string& n, Ticket* t, StoreFile* f) override {
    return inner_.begin(d, n, t, f);
  }
  StoreError write(Ticket t, std::span<const uint8_t> b, size_t* w) override { return inner_.write(t, b, w); }
  StoreError finish(Ticket t) override { return inner_.finish(t); }
  bool abandon(Ticket t) noexcept override { return inner_.abandon(t); }
  std::vector<StoreError> commit(std::span<const Ticket> t) override { return inner_.commit(t); }
  std::string finalPath(Ticket t) const override { return inner_.finalPath(t); }
  bool removeCommitted(const std::string& p, const FileIdentity& i) noexcept override {
    return inner_.removeCommitted(p, i);
  }
  std::vector<std::string> sweep(const std::string& d) override { return inner_.sweep(d); }

 private:
  LocalStore inner_;
};

TEST(StoreBeginFromTest, StoresTheSpoolFileWholeAndLeavesItToItsOwner) {
  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
  const struct {
    const char* store;
    bool sameInode;  // the spool file itself is the stored file
  } rows[] = {{"local", true}, {"copying", false}};
  for (const auto& row : rows) {
    TempDir dir;
    const std::string spool = MakeResumableDirectory(dir.str()) + "/spool.data";
    WriteFile(spool, bytes);
    struct stat before{};
    ASSERT_EQ(::stat(spool.c_str(), &before), 0);
    std::unique_ptr<parcelmoor::Store> store;
    if (std::string(row.store) == "local") store = std::make_unique<LocalStore>(LocalStoreOptions{.sync = true});
    else store = std::make_unique<CopyingStore>();
    parcelmoor::Store::Ticket ticket = 0;
    StoreFile file;
    ASSERT_FALSE(store->beginFrom(dir.str() + "\\", "big.bin", spool, &ticket, &file)) << row.store;
    EXPECT_EQ(ReadFile(spool), bytes) << row.store;  // a commit that fails in passing costs nothing
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "big.bin")) << row.store;  // not before the commit
    ASSERT_FALSE(store->commit(std::span<const parcelmoor::Store::Ticket>(&ticket, 1)).front()) << row.store;
    EXPECT_EQ(ReadFile(dir.path() / "big.bin"), bytes) << row.store;
    struct stat after{};
    ASSERT_EQ(::stat((dir.path() / "big.bin").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino, row.sameInode) << row.store;
    EXPECT_TRUE(store->removeCommitted(file.finalPath, file.identity)) << row.store;  // its identity is the stored file's
  }
}

}  // namespace
}  // namespace parcelmoor::testing
