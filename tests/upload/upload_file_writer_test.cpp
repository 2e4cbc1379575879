// What the writer stores and records: limits, outcomes, commit, discard,
// the directory's separator, files of one name.
#include "upload/upload_file_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/local_store.h"
#include "upload/upload_errors.h"
#include "upload/upload_file_writer_fixture.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Caught;
using testing::FakeFileLayer;
using testing::LockHolderProcess;
using testing::Named;
using testing::Pattern;
using testing::ReadFile;
using testing::Temporaries;
using testing::UploadFileWriterTest;

TEST_F(UploadFileWriterTest, SizeLimitCutsTheFileAndCountsEveryByte) {
  struct Case {
    const char* why;
    std::optional<int64_t> limit;
    int64_t sizeBefore;  // bytes already counted for the file
    std::vector<int32_t> offers;
    int writeCalls;
    size_t onDisk;
    int64_t sizeAfter;
    bool over;
  };
  constexpr int64_t kNear2GiB = 2147483600;
  const Case cases[] = {
      {"limit 100, offers of 60, 60, 60, 60, 10", 100, 0, {60, 60, 60, 60, 10}, 2, 100, 250, true},
      {"content of exactly the limit", 100, 0, {60, 40}, 2, 100, 100, false},
      {"first offer already past the limit", 100, 0, {150, 5}, 1, 100, 155, true},
      {"limit 0", 0, 0, {10, 5}, 0, 0, 15, true},
      {"negative limit", -7, 0, {1}, 0, 0, 1, true},
      {"no limit", std::nullopt, 0, {60, 60, 60}, 3, 180, 180, false},
      {"no limit, count passing 2 GiB", std::nullopt, kNear2GiB, {100, 100}, 2, 200, kNear2GiB + 200, false},
      {"limit near 2 GiB, clipped count in 64 bits", 2147483647, kNear2GiB, {100, 100}, 1, 47, kNear2GiB + 200,
       true},
      {"empty offers change nothing", 100, 0, {0, 0}, 0, 0, 0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string name = "f" + std::to_string(n++) + ".bin";
    Open(name, c.limit);
    // Bytes counted before are offered without being stored.
    files.discardWrites = true;
    const std::string one = "x";
    for (int64_t left = c.sizeBefore; left > 0; left -= INT32_MAX / 2) {
      writer.write(Bytes(one), static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX / 2)));
    }
    files.discardWrites = false;
    files.writeCalls = 0;
    files.writeSizes.clear();

    int64_t total = 0;
    for (int32_t offer : c.offers) total += offer;
    const std::string content = Pattern(static_cast<size_t>(total));
    int32_t at = 0;
    for (int32_t offer : c.offers) {
      writer.write(Bytes(content) + at, offer);
      at += offer;
    }
    writer.close();
    writer.commitAll();

    EXPECT_EQ(files.writeCalls, c.writeCalls);
    if (c.sizeBefore == 0) {
      EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, c.onDisk));
    }
    size_t written = 0;
    for (uint32_t size : files.writeSizes) written += size;
    EXPECT_EQ(written, c.onDisk);
    EXPECT_EQ(writer.size(), c.sizeAfter);
    EXPECT_EQ(writer.overLimit(), c.over);
  }
}

TEST_F(UploadFileWriterTest, EachFileRecordSaysWhatBecameOfIt) {
  using Act = std::function<void(UploadFileWriter&, FakeFileLayer&, const std::string& name)>;
  const std::string ten = "0123456789";
  auto write = [&](UploadFileWriter& w) { w.write(Bytes(ten), 10); };
  struct Row {
    const char* why;
    Act act;
    FileOutcome outcome;
    bool onDisk;
    int64_t stored;
    int32_t error;
  };
  auto open = [&](UploadFileWriter& w, const std::string& name, std::optional<int64_t> limit = std::nullopt) {
    w.open(Dir(), Named(name), limit);
  };
  const Row rows[] = {
      {"stored whole", [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.commitAll(); },
       FileOutcome::kStored, true, 10, 0},
      {"cut at the limit",
       [&](auto& w, auto&, auto& name) { open(w, name, 4), write(w), w.abandon(false), w.commitAll(); },
       FileOutcome::kCut, true, 4, 0},
      {"deleted over the limit", [&](auto& w, auto&, auto& name) { open(w, name, 4), write(w), w.abandon(true); },
       FileOutcome::kDeleted, false, 0, 0},
      {"a write that fails",
       [&](auto& w, auto& f, auto& name) { open(w, name), f.failWriteAt = 1, Caught([&] { write(w); }); },
       FileOutcome::kFailed, false, 0, 15001},
      {"an open that fails",
       [&](auto& w, auto&, auto& name) { Caught([&] { w.open(Dir() + "none/", Named(name), std::nullopt); }); },
       FileOutcome::kFailed, false, 0, -20},
      {"a rename that fails",
       [&](auto& w, auto& f, auto& name) { open(w, name), write(w), w.close(), f.failMoves = true, w.commitAll(); },
       FileOutcome::kFailed, false, 0, 15001},
      {"stored, but the upload did not arrive whole",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.releaseStored(true); },
       FileOutcome::kNotStored, false, 0, 0},
      {"finished, then discarded before its commit",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.discardUncommitted(); },
       FileOutcome::kNotStored, false, 0, 0},
      {"the request ended inside it",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.abandon(false), w.releaseStored(true); },
       FileOutcome::kNotStored, false, 0, 0},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FakeFileLayer layer;
    UploadFileWriter w;
    w.setFileLayer(layer);
    const std::string name = "r" + std::to_string(n++) + ".bin";
    row.act(w, layer, name);
    const FileRecord record = w.records()->back();
    EXPECT_EQ(record.fieldName, "field");
    EXPECT_EQ(record.fileName, name);
    EXPECT_EQ(record.outcome, row.outcome);
    EXPECT_EQ(record.bytesReceived, row.error == -20 ? 0 : 10);
    EXPECT_EQ(record.bytesStored, row.stored);
    EXPECT_EQ(record.storedPath, row.onDisk ? PathOf(name) : "");
    EXPECT_EQ(record.pendingPath, "") << "committed or gone";
    EXPECT_EQ(record.error ? record.error->number() : 0, row.error);
    EXPECT_EQ(fs::exists(PathOf(name)), row.onDisk);
    if (row.onDisk) {
      EXPECT_EQ(fs::file_size(PathOf(name)), static_cast<uintmax_t>(row.stored));
    }
  }
}

TEST_F(UploadFileWriterTest, AnEarlierFileStaysWholeUntilTheCommitReplacesIt) {
  testing::WriteFile(PathOf("a.txt"), "earlier");
  Store("a.txt", "new");
  EXPECT_EQ(ReadFile(Pending()), "new");
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "earlier");
  writer.releaseStored(true);  // not committed: the upload did not arrive whole
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "earlier"}}));

  Store("a.txt", "new");
  EXPECT_EQ(writer.commitAll(), 0);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "new"}}));
  EXPECT_TRUE(files.openHandles().empty());
}

TEST_F(UploadFileWriterTest, OnlyTheTrailingBackslashOfTheDirectorySeparates) {
  fs::create_directory(dir.path() / "up\\load");
  fs::create_directories(dir.path() / "up" / "load");
  struct Row {
    std::string directory;
    fs::path expected;
  };
  const Row rows[] = {
      {dir.str() + "\\", dir.path() / "a.txt"},
      {dir.str() + "/up\\load\\", dir.path() / "up\\load" / "a.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.directory);
    writer.open(row.directory, Named("a.txt"), std::nullopt);
    Write("abc");
    writer.close();
    writer.commitAll();
    EXPECT_EQ(ReadFile(row.expected), "abc");
    EXPECT_EQ(writer.records()->back().storedPath, row.expected.string());
  }
  EXPECT_FALSE(fs::exists(dir.path() / "up" / "load" / "a.txt"));
}

TEST_F(UploadFileWriterTest, OfTwoFilesOfOneNameTheLaterWins) {
  Store("a.txt", "first");
  Store("b.txt", "b");
  Store("a.txt", "second");
  EXPECT_EQ(Temporaries(dir.str()).size(), 2u);
  writer.commitAll();
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "second"}, {"b.txt", "b"}}));
}

TEST_F(UploadFileWriterTest, AHeldCommitWaitsForTheHostsWord) {
  struct Row {
    const char* why;
    std::function<void(UploadFileWriter&)> decide;
    bool kept;
  };
  const Row rows[] = {
      {"the application accepts", [](UploadFileWriter& w) { w.holdCommits(false), w.commitAll(); }, true},
      {"the application refuses", [](UploadFileWriter& w) { w.discardUncommitted(); }, false},
      {"nobody decides before the release", [](UploadFileWriter& w) { w.releaseStored(false); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    testing::WriteFile(PathOf("a.txt"), "earlier");
    {
      UploadFileWriter w;
      w.holdCommits(true);
      w.open(Dir(), Named("a.txt"), std::nullopt);
      w.write(Bytes("new"), 3);
      w.close();
      EXPECT_EQ(w.commitAll(), 0);
      EXPECT_EQ(ReadFile(PathOf("a.txt")), "earlier");
      EXPECT_EQ(ReadFile(w.records()->back().pendingPath), "new");
      row.decide(w);
    }
    EXPECT_EQ(ReadFile(PathOf("a.txt")), row.kept ? "new" : "earlier");
    EXPECT_TRUE(Temporaries(dir.str()).empty());
  }
}

TEST_F(UploadFileWriterTest, DiscardGivesUpOnlyWhatIsNotCommitted) {
  Store("a.txt", "committed");
  writer.commitAll();
  Store("b.txt", "waiting");
  EXPECT_EQ(ReadFile(Pending()), "waiting");
  EXPECT_EQ(writer.records()->back().storedPath, PathOf("b.txt"));
  writer.discardUncommitted();
  EXPECT_EQ(writer.commitAll(), 0);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "committed"}}));
  EXPECT_EQ(OnDisk(), 1u);
  EXPECT_EQ(writer.records()->back().outcome, FileOutcome::kNotStored);
  EXPECT_EQ(writer.records()->front().outcome, FileOutcome::kStored);
}

TEST_F(UploadFileWriterTest, AbandonClosesAndDeletesOnlyWhenAsked) {
  for (const bool deleteFile : {false, true}) {
    SCOPED_TRACE(deleteFile ? "deleted" : "kept");
    const std::string name = deleteFile ? "d.bin" : "k.bin";
    const size_t storedBefore = OnDisk();
    Open(name, 100);
    const std::string content = Pattern(250);
    Write(content);
    writer.abandon(deleteFile);
    EXPECT_FALSE(writer.isOpen());
    writer.commitAll();
    EXPECT_TRUE(files.openHandles().empty());
    EXPECT_EQ(fs::exists(PathOf(name)), !deleteFile);
    if (!deleteFile) {
      EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, 100));
    }
    EXPECT_EQ(OnDisk(), storedBefore + (deleteFile ? 0 : 1));
    EXPECT_EQ(writer.size(), 250);
  }
}

TEST_F(UploadFileWriterTest, AbandonWithoutAnOpenFileDeletesNothing) {
  Store("a.txt", "stored");
  writer.abandon(true);
  writer.commitAll();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "stored");
  EXPECT_EQ(OnDisk(), 1u);
}

}  // namespace
}  // namespace parcelmoor
