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
// Each run stores into a fresh directory under a private root and checks that:
// nothing outside that directory changed (a sibling directory with a known
// file, a file beside it, the working directory); no file handle is open
// after release; a failed or incomplete upload keeps no file unless the
// script kept partial uploads. A closed body that parses without failure is
// also run with whole reads: Form and stored files must be the same.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/memory_host.h"
#include "upload/part_policy.h"
#include "upload/upload_file.h"

namespace fs = std::filesystem;
using namespace parcelmoor;

namespace {

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "upload_fuzzer: %s\n", why.c_str());
  std::abort();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The entries of `dir`, without the store's private directory; the
// temporaries waiting in that directory are listed as ".parcelmoor/NAME".
std::map<std::string, std::string> FilesIn(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name == ".parcelmoor" && entry.is_directory()) {
      for (const auto& waiting : fs::directory_iterator(entry.path())) {
        const std::string inner = waiting.path().filename().string();
        if (inner.ends_with(".part")) files[name + "/" + inner] = ReadAll(waiting.path());
      }
      continue;
    }
    files[name] = entry.is_regular_file() ? ReadAll(entry.path()) : "<not a file>";
  }
  return files;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

struct Root {
  fs::path path;
  fs::path sentinelDir;
  fs::path sentinelFile;
  fs::path besideFile;
  fs::path workDir;
  fs::path uploadDir;
};

const std::string kSentinel = "left alone\r\n--\r\n";

const Root& TheRoot() {
  static const Root root = [] {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string templ = (base / "pmfuzz-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) Fail("mkdtemp failed");
    Root r;
    r.path = templ;
    r.sentinelDir = r.path / "sentinel";
    r.sentinelFile = r.sentinelDir / "keep.txt";
    r.besideFile = r.path / "beside.txt";
    r.workDir = r.path / "cwd";
    r.uploadDir = r.path / "upload";
    fs::create_directory(r.sentinelDir);
    fs::create_directory(r.workDir);
    std::ofstream(r.sentinelFile, std::ios::binary) << kSentinel;
    std::ofstream(r.besideFile, std::ios::binary) << kSentinel;
    if (chdir(r.workDir.c_str()) != 0) Fail("chdir failed");
    std::atexit([] { fs::remove_all(TheRoot().path); });
    return r;
  }();
  return root;
}

void CheckOutsideUnchanged(const Root& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root.path)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names != std::vector<std::string>{"beside.txt", "cwd", "sentinel"}) Fail("the root holds other entries");
  if (FilesIn(root.sentinelDir) != std::map<std::string, std::string>{{"keep.txt", kSentinel}})
    Fail("the sibling directory changed");
  if (ReadAll(root.besideFile) != kSentinel) Fail("the file beside the upload directory changed");
  if (!fs::is_empty(root.workDir)) Fail("something was written to the working directory");
}

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
  const Root& root = TheRoot();
  fs::create_directory(root.uploadDir);
  const int descriptorsBefore = OpenDescriptors();

  Outcome outcome;
  {
    MemoryHostOptions options;
    options.readPlan = plan;
    options.disconnectAfter = settings.disconnectAfter;
    auto host = MemoryHost::FromBytes(body, options);
    auto upload = UploadFile::Create();
    upload->OnStartPage(host);
    upload->put_UploadDirectory(root.uploadDir.string());
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
  }

  if (OpenDescriptors() != descriptorsBefore) Fail("a file handle stayed open after release");
  outcome.files = FilesIn(root.uploadDir);
  if (outcome.allOrNone && !outcome.files.empty()) Fail("an incomplete upload kept files");
  fs::remove_all(root.uploadDir);
  CheckOutsideUnchanged(root);
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
