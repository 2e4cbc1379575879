// The per-part decision through the upload object: what a policy answers
// (store under its limit, skip, refuse) or, without one, the script's limits
// and SkipEmptyFileInputs, seen in the Form, the stored files and the file
// records. Every body has parts after the decided one: they must go on.

#include "upload/part_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "upload/upload_errors.h"
#include "support/form_text.h"
#include "support/upload_harness.h"
#include "upload/limit_policy.h"

namespace parcelmoor::testing {
namespace {

using Action = PartDecision::Action;

// Answers per field name (store, no limit, for the others) and keeps what it
// was asked.
class FieldPolicy : public PartPolicy {
 public:
  explicit FieldPolicy(std::map<std::string, PartDecision> answers) : answers_(std::move(answers)) {}
  PartDecision decide(const PartHeaders& part) override {
    asked += std::string(part.fieldName) + (part.namesFile ? " file " + std::string(part.fileName) : "") + " [" +
             std::string(part.contentType) + "];";
    auto found = answers_.find(std::string(part.fieldName));
    return found == answers_.end() ? PartDecision{} : found->second;
  }
  std::string asked;

 private:
  std::map<std::string, PartDecision> answers_;
};

PartDecision StoreUnder(std::optional<int64_t> limit, bool deleteOverLimit) {
  return {.action = Action::kStore, .maxFileBytes = limit, .deleteOverLimit = deleteOverLimit};
}
PartDecision Refuse() {
  return {.action = Action::kRefuse, .refusal = "type-not-allowed", .reason = "PNG only", .status = 415};
}

std::string Outcomes(const std::vector<FileRecord>& records) {
  std::string text;
  for (const FileRecord& r : records) {
    text += r.fieldName + ":";
    switch (r.outcome) {
      case FileOutcome::kStored: text += "stored"; break;
      case FileOutcome::kCut: text += "cut"; break;
      case FileOutcome::kDeleted: text += "deleted"; break;
      case FileOutcome::kFailed: text += "failed"; break;
      case FileOutcome::kNotStored: text += "not stored"; break;
      case FileOutcome::kNoFile: text += "no file"; break;
      case FileOutcome::kRefused:
        text += "refused " + r.refusal + " " + std::to_string(r.refusalStatus) + " " + r.refusalReason;
        break;
      case FileOutcome::kInfected: text += "infected"; break;
    }
    text += ";";
  }
  return text;
}

TEST(PartPolicyTest, EachDecisionActsOnItsPartAndTheOthersGoOn) {
  Part typed = File("a", "a.png", "0123456789");
  typed.headers[1] = "Content-Type: image/png";
  const std::string body =
      Body({Field("t", "text"), typed, File("e", "", ""), File("b", "b.txt", "bbbbbb"), Field("u", "after")});
  const std::string fields = "u value=[\"after\"]\n";
  const std::string emptyInput = "e file=\"\" path=\"\" size=0 value=[\"\"]\n";
  struct Case {
    const char* why;
    std::optional<std::map<std::string, PartDecision>> policy;  // none: the script's limits
    int32_t maxFileSize;                                        // 0: not put
    bool skipEmpty;
    int32_t error;
    std::string outcomes;
    std::map<std::string, std::string> files;
    std::string itemA;  // the Form item of field a
  };
  const std::string itemA10 = "a file=\"a.png\" path=\"a.png\" size=10 value=[\"a.png\"]\n";
  const std::string itemA0 = "a file=\"a.png\" path=\"a.png\" size=0 value=[\"a.png\"]\n";
  const Case cases[] = {
      {"default: an empty file input stops the body", {}, 0, false, uploaderr::kNoFileUploaded, "a:not stored;", {},
       ""},
      {"default with SkipEmptyFileInputs: every file stored", {}, 0, true, 0, "a:stored;e:no file;b:stored;",
       {{"a.png", "0123456789"}, {"b.txt", "bbbbbb"}}, itemA10},
      {"default: the script's MaxFileSize cuts", {}, 4, true, 0, "a:cut;e:no file;b:cut;",
       {{"a.png", "0123"}, {"b.txt", "bbbb"}}, itemA10},
      {"store under the decision's limit, cut", std::map<std::string, PartDecision>{{"a", StoreUnder(3, false)}}, 4, true,
       0, "a:cut;e:no file;b:stored;", {{"a.png", "012"}, {"b.txt", "bbbbbb"}}, itemA10},
      {"store under the decision's limit, deleted past it",
       std::map<std::string, PartDecision>{{"a", StoreUnder(3, true)}}, 0, true, 0, "a:deleted;e:no file;b:stored;",
       {{"b.txt", "bbbbbb"}}, itemA10},
      {"skip: the item stays, nothing stored", std::map<std::string, PartDecision>{{"a", {.action = Action::kSkip}}},
       0, true, 0, "a:no file;e:no file;b:stored;", {{"b.txt", "bbbbbb"}}, itemA0},
      {"refuse: its own reason, the others stored", std::map<std::string, PartDecision>{{"a", Refuse()}}, 0, true, 0,
       "a:refused type-not-allowed 415 PNG only;e:no file;b:stored;", {{"b.txt", "bbbbbb"}}, itemA0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::shared_ptr<FieldPolicy> policy;
    if (c.policy) policy = std::make_shared<FieldPolicy>(*c.policy);
    StoreSettings settings{.readPlan = {7}, .skipEmptyFileInputs = c.skipEmpty, .policy = policy};
    if (c.maxFileSize != 0) settings.maxFileSize = c.maxFileSize;
    StoreRun run = Store(body, dir, settings);
    const auto& failure = run.upload->lastParseFailure();
    EXPECT_EQ(failure ? failure->number() : 0, c.error) << c.why;
    run.upload->release();
    EXPECT_EQ(Outcomes(*run.upload->fileRecords()), c.outcomes) << c.why;
    EXPECT_EQ(dir.Files(), c.files) << c.why;
    if (c.error != 0) continue;
    EXPECT_EQ(FormText(run.form), "t value=[\"text\"]\n" + c.itemA + emptyInput +
                                      "b file=\"b.txt\" path=\"b.txt\" size=6 value=[\"b.txt\"]\n" + fields)
        << c.why;
    // The policy is asked once per part, with the part's Content-Type; an
    // empty file input is not asked about.
    if (policy) {
      EXPECT_EQ(policy->asked,
                "t [];a file a.png [image/png];b file b.txt [application/octet-stream];u [];")
          << c.why;
    }
  }
}

// A policy that skips a plain field drops its value; the item stays.
TEST(PartPolicyTest, ASkippedFieldKeepsItsItemWithoutAValue) {
  TempDir dir;
  auto policy = std::make_shared<FieldPolicy>(std::map<std::string, PartDecision>{{"t", {.action = Action::kSkip}}});
  StoreRun run = Store(Body({Field("t", "secret"), Field("u", "after")}), dir, {.policy = policy});
  EXPECT_EQ(FormText(run.form), "t value=[null]\nu value=[\"after\"]\n");
  run.upload->release();
}

// Judges each stored file by its first byte ('<' refused) and keeps how many
// bytes it was shown of each file.
class FirstBytePolicy : public PartPolicy {
 public:
  PartDecision decide(const PartHeaders& part) override {
    return part.fieldName == "small" ? StoreUnder(3, false) : PartDecision{};
  }
  bool judgesContent() const override { return true; }
  PartDecision judgeContent(const PartHeaders& part, std::span<const uint8_t> firstBytes) override {
    shown += std::string(part.fileName) + "=" + std::to_string(firstBytes.size()) + ";";
    return !firstBytes.empty() && firstBytes[0] == '<' ? Refuse() : PartDecision{};
  }
  std::string shown;
};

// The held first bytes are judged the same way, and stored whole, however
// the reads cut the body: files shorter than, exactly and longer than the
// held buffer, a refused one among them, an empty one, and a decision's
// limit that applies after the judgement.
TEST(PartPolicyTest, ContentIsJudgedOnTheSameFirstBytesWhateverTheReads) {
  constexpr size_t kHeld = PartPolicy::kJudgedBytes;
  const std::string longFile = "P" + std::string(kHeld + 900, 'x');
  const std::string exactFile = "Q" + std::string(kHeld - 1, 'y');
  const std::string body = Body({File("a", "long.bin", longFile), File("b", "evil.png", "<html>" + longFile),
                                 File("c", "exact.bin", exactFile), File("d", "empty.bin", ""),
                                 File("small", "cut.bin", "abcdef"), Field("u", "after")});
  for (size_t read : {size_t{1}, size_t{7}, kHeld - 1, kHeld, kHeld + 1, size_t{65535}}) {
    TempDir dir;
    auto policy = std::make_shared<FirstBytePolicy>();
    StoreRun run = Store(body, dir, {.readPlan = {read}, .policy = policy});
    EXPECT_FALSE(run.upload->lastParseFailure()) << read;
    run.upload->release();
    EXPECT_EQ(policy->shown, "long.bin=4096;evil.png=4096;exact.bin=4096;empty.bin=0;cut.bin=6;") << read;
    EXPECT_EQ(Outcomes(*run.upload->fileRecords()),
              "a:stored;b:refused type-not-allowed 415 PNG only;c:stored;d:stored;small:cut;")
        << read;
    const std::map<std::string, std::string> files{
        {"long.bin", longFile}, {"exact.bin", exactFile}, {"empty.bin", ""}, {"cut.bin", "abc"}};
    EXPECT_EQ(dir.Files(), files) << read;
  }
}

// FileRecords, read by name through the late-bound surface as a script
// reads it: one keyed collection per file part with 64-bit sizes, the
// hosts' outcome words and a refusal's sentence.
TEST(PartPolicyTest, ScriptsReadEachFilesRecordByName) {
  TempDir dir;
  auto policy = std::make_shared<FieldPolicy>(std::map<std::string, PartDecision>{{"a", Refuse()}});
  StoreRun run = Store(Body({File("a", "a.png", "0123"), File("b", "dir/b.txt", "bbbbbb")}), dir, {.policy = policy});
  std::vector<Variant> none;
  const Variant all = run.upload->Invoke(run.upload->GetIDOfName("filerecords"), InvokeKind::kPropertyGet, none);
  auto records = ObjectAs<Collection>(all.asObject());
  ASSERT_EQ(records->Count(), 2);
  auto field = [&](int32_t i, std::string_view key) {
    return ObjectAs<Collection>(records->Item(i).asObject())->Item(key);
  };
  EXPECT_EQ(field(1, "Outcome").asText(), "refused");
  EXPECT_EQ(field(1, "Reason").asText(), "PNG only");
  EXPECT_EQ(field(1, "StoredPath").asText(), "");
  EXPECT_EQ(field(2, "Field").asText(), "b");
  EXPECT_EQ(field(2, "FileName").asText(), "b.txt");
  EXPECT_EQ(field(2, "Outcome").asText(), "stored");
  EXPECT_EQ(field(2, "Reason").asText(), "");
  EXPECT_TRUE(field(2, "BytesStored").isLong());
  EXPECT_EQ(field(2, "BytesStored").asLong(), 6);
  EXPECT_EQ(field(2, "BytesReceived").asLong(), 6);
  EXPECT_EQ(field(2, "StoredPath").asText(), run.upload->fileRecords()->at(1).storedPath);
  EXPECT_TRUE(field(2, "StoredPath").asText().ends_with("b.txt"));
  run.upload->release();
}

// A host's limit policy decides as the script's settings would.
TEST(PartPolicyTest, LimitPolicyStoresUnderItsLimit) {
  LimitPolicy policy(int64_t{5'000'000'000}, true);
  const PartDecision decision = policy.decide(PartHeaders{});
  EXPECT_EQ(decision.action, Action::kStore);
  EXPECT_EQ(decision.maxFileBytes, int64_t{5'000'000'000});
  EXPECT_TRUE(decision.deleteOverLimit);
}

}  // namespace
}  // namespace parcelmoor::testing
