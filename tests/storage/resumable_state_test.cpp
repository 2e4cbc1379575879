// A resumable upload's state file and the protocol's header values, the
// lock that keeps a second writer off an upload, and a store taking a
// finished spool file (by rename, or by the default copy any store gets).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "storage/local_store.h"
#include "storage/resumable_files.h"
#include "storage/resumable_state.h"
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

TEST(ResumableStateTest, RoundTripsAndRefusesEveryTornWrite) {
  const ResumableState state = FullState();
  const std::string text = SerializeResumableState(state);
  auto back = ParseResumableState(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(SerializeResumableState(*back), text);
  EXPECT_EQ(back->directory, state.directory);
  EXPECT_EQ(back->forwardHeaders, state.forwardHeaders);
  EXPECT_EQ(back->length, state.length);
  // A state cut anywhere (a torn write that was never renamed in) is no state.
  for (size_t cut = 0; cut < text.size(); ++cut) EXPECT_FALSE(ParseResumableState(text.substr(0, cut))) << cut;
  ResumableState past = state;
  past.offset = past.length + 1;
  EXPECT_FALSE(ParseResumableState(SerializeResumableState(past)));
}

TEST(ResumableStateTest, HeaderValues) {
  const struct {
    const char* text;
    std::optional<int64_t> want;
  } decimals[] = {{"0", 0}, {"1048576", 1048576}, {"", std::nullopt}, {"-1", std::nullopt},
                  {"+1", std::nullopt}, {"1 ", std::nullopt}, {"99999999999999999999", std::nullopt}};
  for (const auto& row : decimals) EXPECT_EQ(ParseDecimalHeader(row.text), row.want) << row.text;

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* text;
    std::optional<Pairs> want;
  } metadata[] = {
      {"", Pairs{}},
      {"filename aGkudHh0,filetype dGV4dC9wbGFpbg==", Pairs{{"filename", "hi.txt"}, {"filetype", "text/plain"}}},
      {"flag, filename YQ==", Pairs{{"flag", ""}, {"filename", "a"}}},
      {"filename YQ==,filename Yg==", std::nullopt},  // a key twice
      {"filename !!!!", std::nullopt},
      {"filename YQ", std::nullopt},  // padding missing
      {",filename YQ==", std::nullopt},
      {"filename\tYQ==", std::nullopt},
  };
  for (const auto& row : metadata) EXPECT_EQ(ParseUploadMetadata(row.text), row.want) << row.text;

  const struct {
    const char* text;
    const char* algorithm;  // nullptr: refused
    const char* digest;
  } checksums[] = {
      {"sha1 YWJj", "sha1", "abc"},
      {"SHA256 YWI=", "sha256", "ab"},
      {"sha1", nullptr, nullptr},
      {"sha1 ", nullptr, nullptr},
      {" YWJj", nullptr, nullptr},
      {"sha1 YW=j", nullptr, nullptr},
  };
  for (const auto& row : checksums) {
    auto parsed = ParseUploadChecksum(row.text);
    ASSERT_EQ(parsed.has_value(), row.algorithm != nullptr) << row.text;
    if (parsed) {
      EXPECT_EQ(parsed->algorithm + " " + parsed->digest, std::string(row.algorithm) + " " + row.digest);
    }
  }
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

TEST(StoreBeginFromTest, TakesTheSpoolFileWholeAndLeavesNothingBehind) {
  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
  const struct {
    const char* store;
    bool sameInode;  // the spool file itself became the stored file
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
    EXPECT_FALSE(std::filesystem::exists(spool)) << row.store;
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
