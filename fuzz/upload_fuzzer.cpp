// libFuzzer target: one request body through storeUploadedFiles.
//
// Input layout:
//   byte 0      flags: 1 set MaxFileSize, 2 DeleteMaxFile, 4 UploadAllFilesOrNone
//               false before processing, 8 the client leaves after `limit`
//               body bytes, 16 close the body (append CR LF, its first line
//               and "--" CR LF); the high 3 bits: number of read sizes (0..7)
//   bytes 1-2   `limit`, little-endian: the size limit or the disconnect point;
//               when neither is set, its bit 0 sets SkipEmptyFileInputs, bit 1
//               a part policy that refuses every second file part and skips
//               every third, and its high byte (when not 0) MaxTotalFieldSize
//   then 2 bytes per read size (0 means 65,535), used in turn and repeated
//   the rest    the body
//
// Each run stores into memory (MemoryStore, under the directory store's name
// rules and commit policy, so no run waits on a file system) and checks that:
// every stored file is named directly in the upload directory; no file is
// left begun and uncommitted after release; no descriptor is left open; a
// failed or incomplete upload keeps no file unless the script kept partial
// uploads. A closed body that parses without failure is also run with whole
// reads: Form and stored files must be the same.

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/memory_host.h"
#include "storage/memory_store.h"
#include "upload/part_policy.h"
#include "upload/upload_file.h"

using namespace parcelmoor;

namespace {

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "upload_fuzzer: %s\n", why.c_str());
  std::abort();
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// The upload directory as the component is given it; never created.
const std::string kUploadDirectory = "/fuzz/upload";

struct Settings {
  std::optional<int32_t> maxFileSize;
  bool deleteMaxFile = false;
  bool keepPartial = false;
  std::optional<int64_t> disconnectAfter;
  bool skipEmptyFileInputs = false;
  bool decideByTurns = false;
  int32_t maxTotalFieldSize = 0;
};

// Refuses every second file part and skips every third, and refuses a stored
// file whose first bytes begin with '<' or hold a NUL (judged on up to
// kJudgedBytes held back): decisions that must hold whatever the reads, as
// the script's settings do.
class ByTurnsPolicy : public PartPolicy {
 public:
  PartDecision decide(const PartHeaders& part) override {
    PartDecision decision;
    if (!part.namesFile) return decision;
    ++files_;
    if (files_ % 2 == 0) {
      decision.action = PartDecision::Action::kRefuse;
      decision.refusal = "turn";
      decision.status = 415;
    }
    if (files_ % 3 == 0) decision.action = PartDecision::Action::kSkip;
    return decision;
  }
  bool judgesContent() const override { return true; }
  PartDecision judgeContent(const PartHeaders&, std::span<const uint8_t> firstBytes) override {
    PartDecision decision;
    const bool hasNul = std::find(firstBytes.begin(), firstBytes.end(), uint8_t{0}) != firstBytes.end();
    if ((!firstBytes.empty() && firstBytes[0] == '<') || hasNul) {
      decision.action = PartDecision::Action::kRefuse;
      decision.refusal = "content";
      decision.status = 415;
    }
    return decision;
  }

 private:
  int files_ = 0;
};

struct Outcome {
  bool clean = false;  // no raise, no parse failure, no notice
  bool allOrNone = true;
  std::string form;
  std::map<std::string, std::string> files;
};

std::string FormText(UploadFile& upload) {
  std::string text;
  auto form = upload.get_Form();
  for (int32_t i = 1; i <= form->Count(); ++i) {
    auto item = ObjectAs<FormItem>(form->Item(i));
    text += item->Name() + "|" + std::to_string(item->isElementFile()) + "|" + item->getFileName() + "|" +
            item->getCompleteFilePath() + "|" + std::to_string(item->getFileSize()) + "|" +
            std::to_string(item->isMultipleValues());
    auto values = item->Value();
    for (int32_t k = 1; k <= values->Count(); ++k) {
      const Variant& v = values->Item(k);
      text += v.isNull() ? std::string("|null") : "|=" + v.asText();
    }
    text += "\n";
  }
  return text;
}

Outcome StoreBody(const std::string& body, const std::vector<size_t>& plan, const Settings& settings) {
  const int descriptorsBefore = OpenDescriptors();
  auto files = std::make_shared<MemoryFiles>();

  Outcome outcome;
  {
    MemoryHostOptions options;
    options.readPlan = plan;
    options.disconnectAfter = settings.disconnectAfter;
    auto host = MemoryHost::FromBytes(body, options);
    auto upload = UploadFile::Create();
    upload->setStore(std::make_shared<MemoryStore>(files));
    upload->OnStartPage(host);
    upload->put_UploadDirectory(kUploadDirectory);
    if (settings.maxFileSize) upload->put_MaxFileSize(*settings.maxFileSize);
    if (settings.deleteMaxFile) upload->put_DeleteMaxFile(kTrue);
    if (settings.keepPartial) upload->put_UploadAllFilesOrNone(kFalse);
    if (settings.skipEmptyFileInputs) upload->put_SkipEmptyFileInputs(kTrue);
    if (settings.decideByTurns) upload->setPartPolicy(std::make_shared<ByTurnsPolicy>());
    upload->put_MaxTotalFieldSize(settings.maxTotalFieldSize);
    bool raised = false;
    try {
      upload->storeUploadedFiles();
    } catch (const RaisedError&) {
      raised = true;
    }
    outcome.allOrNone = upload->get_UploadAllFilesOrNone() != 0;
    outcome.clean = !raised && !upload->lastParseFailure() && host->responseText().empty();
    try {
      outcome.form = FormText(*upload);
    } catch (const RaisedError&) {
      Fail("reading Form raised");
    }
    try {
      upload->release();
    } catch (const RaisedError&) {
      // The release may report a failed clean-up; the checks below still hold.
    }
    if (files->pending() != 0) Fail("a begun file was neither committed nor given up by the release");
  }

  if (OpenDescriptors() != descriptorsBefore) Fail("a file handle stayed open after release");
  for (const auto& [path, bytes] : files->committed()) {
    if (DirectoryOf(path) != kUploadDirectory) Fail("a file was stored outside the upload directory: " + path);
    outcome.files[path.substr(kUploadDirectory.size() + 1)] = bytes;
  }
  if (outcome.allOrNone && !outcome.files.empty()) Fail("an incomplete upload kept files");
  return outcome;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint16_t limit = Le16(data + 1);
  const size_t readSizes = flags >> 5;
  size_t pos = 3;
  if (size < pos + 2 * readSizes) return 0;
  std::vector<size_t> plan;
  for (size_t i = 0; i < readSizes; ++i, pos += 2) {
    const uint16_t n = Le16(data + pos);
    plan.push_back(n == 0 ? 65535 : n);
  }

  Settings settings;
  if (flags & 1) settings.maxFileSize = limit;
  settings.deleteMaxFile = (flags & 2) != 0;
  settings.keepPartial = (flags & 4) != 0;
  if (flags & 8) settings.disconnectAfter = limit;
  if ((flags & (1 | 8)) == 0) {
    settings.skipEmptyFileInputs = (limit & 1) != 0;
    settings.decideByTurns = (limit & 2) != 0;
    settings.maxTotalFieldSize = limit >> 8;
  }

  std::string body(reinterpret_cast<const char*>(data + pos), size - pos);
  if (flags & 16) {
    // Close the body with its own first line, so that its last part ends.
    const size_t lineEnd = body.find("\r\n");
    body += "\r\n" + body.substr(0, lineEnd == std::string::npos ? 0 : lineEnd) + "--\r\n";
  }

  const Outcome split = StoreBody(body, plan, settings);
  if ((flags & 16) && !settings.disconnectAfter && !plan.empty()) {
    const Outcome whole = StoreBody(body, {}, settings);
    if (whole.clean != split.clean) Fail("whether the body fails depends on the reads");
    if (whole.clean && whole.form != split.form) Fail("Form depends on the reads:\n" + whole.form + "---\n" + split.form);
    if (whole.clean && whole.files != split.files) Fail("stored files depend on the reads");
  }
  return 0;
}
