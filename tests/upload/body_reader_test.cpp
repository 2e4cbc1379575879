// The body reader: how many reads a body takes, the all-or-none flag, a lost
// client, the notice after a parsing failure, and the checksums taken while
// the chunks are read.

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>

#include "storage/temporaries.h"
#include "upload/upload_errors.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

constexpr const char* kNotice =
    "<br><br><b>Error occured during file i/o. please verify file path, disk space availability, file path "
    "permissions and try again.<b><br><br> ";

// A well-formed body of exactly `size` bytes: one field padded to fit.
std::string BodyOfSize(size_t size) {
  std::string shell = Body({Field("pad", "")});
  EXPECT_LE(shell.size(), size);
  return Body({Field("pad", std::string(size - shell.size(), 'p'))});
}

TEST(BodyReaderTest, ReadsUntilAReadFailsAndClearsTheFlagWhenAllArrived) {
  struct Case {
    size_t bodySize;
    int32_t reads;
  };
  for (const Case& c : {Case{0, 1}, Case{65535, 2}, Case{100000, 3}, Case{131070, 3}, Case{131071, 4}}) {
    TempDir dir;
    std::string body = c.bodySize == 0 ? std::string() : BodyOfSize(c.bodySize);
    ASSERT_EQ(body.size(), c.bodySize);
    StoreRun run = Store(body, dir);
    EXPECT_FALSE(run.error) << c.bodySize;
    EXPECT_EQ(run.host->binaryReadCalls(), c.reads) << c.bodySize;
    EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kFalse) << c.bodySize;
    EXPECT_EQ(run.host->responseText(), "") << c.bodySize;
    if (c.bodySize > 0) {
      ASSERT_EQ(run.form.size(), 1u);
      EXPECT_EQ(run.form[0].values[0]->size(), c.bodySize - Body({Field("pad", "")}).size());
    }
  }
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  std::string hex;
  for (unsigned char byte : digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

// Large pieces are hashed on a side thread while the next chunk is read
// into the other buffer: whatever the reads, each digest is that of the
// bytes kept, also for files cut at the limit in mid-chunk.
TEST(BodyReaderTest, ChecksumsMatchTheKeptBytesWhateverTheReads) {
  std::mt19937 random(7);
  auto bytes = [&](size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
  };
  const std::vector<std::string> files = {bytes(3 * 65535 + 17), bytes(200000), bytes(20000)};
  const std::string body = Body({File("a", "big.bin", files[0]), File("b", "second.bin", files[1]),
                                 Field("f", "between"), File("c", "small.bin", files[2])});
  struct Case {
    std::vector<size_t> readPlan;
    std::optional<int64_t> limit;
  };
  for (const Case& c : {Case{{}, {}}, Case{{20000, 65535, 7}, {}}, Case{{}, 100000}}) {
    TempDir dir;
    StoreSettings settings{.readPlan = c.readPlan, .maxFileSizeBytes = c.limit, .checksums = true};
    const StoreRun run = Store(body, dir, settings);
    ASSERT_FALSE(run.error);
    const auto& records = *run.upload->fileRecords();
    ASSERT_EQ(records.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string kept = files[i].substr(0, static_cast<size_t>(c.limit.value_or(files[i].size())));
      EXPECT_EQ(records[i].sha256, Sha256Hex(kept)) << "file " << i << ", plan of " << c.readPlan.size();
    }
  }
}

TEST(BodyReaderTest, AnnouncedBytesNotReceivedKeepTheFlagAndReleaseDeletesFiles) {
  TempDir dir;
  std::string body = Body({File("f1", "a.txt", "alpha"), File("f2", "b.txt", "beta")});
  StoreRun run = Store(body, dir, {.totalBytes = static_cast<int64_t>(body.size()) + 10});
  EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kTrue);
  EXPECT_EQ(testing::Temporaries(dir.str()).size(), 2u);  // both complete, uncommitted until release
  run.upload->release();
  EXPECT_TRUE(testing::Temporaries(dir.str()).empty());
  EXPECT_TRUE(dir.Files().empty());
}

TEST(BodyReaderTest, LostClientAbandonsTheOpenFileAndReleaseDeletesEverything) {
  for (bool deleteMaxFile : {false, true}) {
    TempDir dir;
    std::string first = std::string(1000, 'x');
    std::string second = std::string(200000, 'y');
    std::string body = Body({File("f1", "done.txt", first), File("f2", "cut.bin", second)});
    size_t cutAt = body.find("yyyy") + 70000;
    StoreRun run = Store(body, dir, {.readPlan = {4096}, .disconnectAfter = static_cast<int64_t>(cutAt),
                                     .deleteMaxFile = deleteMaxFile});
    EXPECT_FALSE(run.error);
    EXPECT_EQ(run.host->responseText(), "");
    EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kTrue);
    ASSERT_EQ(run.form.size(), 2u);
    EXPECT_EQ(run.form[0].fileSize, 1000);
    // The cut file reports what arrived before the client went.
    EXPECT_GT(run.form[1].fileSize, 0);
    EXPECT_LT(run.form[1].fileSize, 200000);
    // Until the release the files wait under their temporary names.
    auto records = run.upload->fileRecords();
    EXPECT_TRUE(dir.Files().empty());
    EXPECT_TRUE(std::filesystem::exists((*records)[0].pendingPath));
    EXPECT_EQ((*records)[1].pendingPath.empty(), deleteMaxFile);
    if (!deleteMaxFile) {
      EXPECT_EQ(ReadFile((*records)[1].pendingPath).size(), static_cast<size_t>(run.form[1].fileSize));
    }
    run.upload->release();
    EXPECT_TRUE(dir.Files().empty()) << deleteMaxFile;
  }
}

TEST(BodyReaderTest, ParsingFailureMakesOneMoreReadAndWritesTheNotice) {
  TempDir dir;
  // The empty file name fails the second part; the rest of the body is not
  // parsed: exactly one more read follows the failing chunk.
  std::string body = Body({Field("a", "1"), File("f1", "", "content"), Field("b", std::string(5000, 'b'))});
  size_t failingChunkEnd = body.find("content") + 1;
  StoreRun run = Store(body, dir, {.readPlan = {failingChunkEnd, 100}});
  EXPECT_FALSE(run.error);
  EXPECT_EQ(run.host->binaryReadCalls(), 2);
  EXPECT_EQ(run.host->responseText(), kNotice);
  ASSERT_TRUE(run.upload->lastParseFailure());
  EXPECT_EQ(run.upload->lastParseFailure()->number(), uploaderr::kNoFileUploaded);
  EXPECT_EQ(run.upload->lastParseFailure()->description(), "No File uploaded for f1");
  // Not all announced bytes were taken: the flag stays set.
  EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kTrue);
  ASSERT_EQ(run.form.size(), 2u);
  EXPECT_EQ(run.form[1].name, "f1");
  EXPECT_EQ(run.form[1].values, std::vector<std::optional<std::string>>{std::string()});
}

TEST(BodyReaderTest, FailureInTheLastChunkStillCountsTheWholeBody) {
  TempDir dir;
  std::string body = Body({Field("a", "1"), Field("b", "2"), Field("a", "3")});  // "a" again: duplicate key
  StoreRun run = Store(body, dir);
  EXPECT_EQ(run.host->binaryReadCalls(), 2);
  EXPECT_EQ(run.host->responseText(), kNotice);
  ASSERT_TRUE(run.upload->lastParseFailure());
  EXPECT_EQ(run.upload->lastParseFailure()->number(), errnum::kDuplicateKey);
  EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kFalse);
}

}  // namespace
}  // namespace parcelmoor::testing
