// `parcelmoor store`: stores one request body the way a page does and reports
// the result, as a readable listing or as one JSON object.

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "commands.h"
#include "host/memory_host.h"
#include "host/page_runner.h"

namespace parcelmoor::apps {
namespace {

constexpr const char* kStoreUsage =
    "usage: parcelmoor store [options] [BODY]\n"
    "Stores the raw multipart/form-data request body in BODY (\"-\" or none: standard input).\n"
    "  --dir DIR               upload directory (UploadDirectory), passed exactly as given\n"
    "  --max-file-size N       size limit in bytes (MaxFileSize)\n"
    "  --delete-max-file       delete files over the limit (DeleteMaxFile)\n"
    "  --keep-partial          keep the files of an incomplete upload (UploadAllFilesOrNone false)\n"
    "  --reads LIST            read sizes used in turn, comma-separated (\"1\": one byte per read)\n"
    "  --total-bytes N         announced body length (default: the body's length)\n"
    "  --disconnect-after N    the client counts as gone once N body bytes were delivered\n"
    "  --json                  print one JSON object instead of a listing\n";

struct StoreOptions {
  PageSettings settings;
  MemoryHostOptions host;
  std::string body = "-";
  bool json = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "parcelmoor store: %s\n%s", message.c_str(), kStoreUsage);
  return 2;
}

template <class Int>
std::optional<Int> ParseInteger(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Parses the arguments; returns an exit status when the command must stop.
std::optional<int> ParseArguments(int argc, char** argv, StoreOptions& o) {
  bool bodyGiven = false;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> std::optional<std::string_view> {
      if (i + 1 >= argc) return std::nullopt;
      (void)name;
      return std::string_view(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kStoreUsage, stdout);
      return 0;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--delete-max-file") {
      o.settings.deleteMaxFile = true;
    } else if (arg == "--keep-partial") {
      o.settings.keepPartial = true;
    } else if (arg == "--dir") {
      auto v = value(arg);
      if (!v) return UsageError("--dir needs a directory");
      o.settings.uploadDirectory = std::string(*v);
    } else if (arg == "--max-file-size") {
      auto v = value(arg);
      auto n = v ? ParseInteger<int32_t>(*v) : std::nullopt;
      if (!n) return UsageError("--max-file-size needs a 32-bit integer");
      o.settings.maxFileSize = *n;
    } else if (arg == "--reads") {
      auto v = value(arg);
      auto plan = v ? ParseReadPlan(*v) : std::nullopt;
      if (!plan) return UsageError("--reads needs a comma-separated list of positive sizes");
      o.host.readPlan = *plan;
    } else if (arg == "--total-bytes") {
      auto v = value(arg);
      auto n = v ? ParseInteger<int64_t>(*v) : std::nullopt;
      if (!n || *n < 0) return UsageError("--total-bytes needs a byte count");
      o.host.totalBytes = *n;
    } else if (arg == "--disconnect-after") {
      auto v = value(arg);
      auto n = v ? ParseInteger<int64_t>(*v) : std::nullopt;
      if (!n || *n < 0) return UsageError("--disconnect-after needs a byte count");
      o.host.disconnectAfter = *n;
    } else if (arg.size() > 1 && arg[0] == '-' ) {
      return UsageError("unknown option " + std::string(arg));
    } else {
      if (bodyGiven) return UsageError("only one BODY may be given");
      o.body = std::string(arg);
      bodyGiven = true;
    }
  }
  return std::nullopt;
}

// Bytes left to read in a regular file, or nullopt for a pipe or terminal.
std::optional<int64_t> RemainingLength(std::FILE* stream) {
  struct stat st {};
  if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  off_t pos = lseek(fileno(stream), 0, SEEK_CUR);
  return static_cast<int64_t>(st.st_size - (pos > 0 ? pos : 0));
}

std::string Quoted(const std::string& s) { return JsonString(s); }

void PrintListing(const PageResult& page) {
  if (page.result) std::printf("result: %d\n", *page.result);
  if (page.error) {
    std::printf("error: %d (%s): %s\n", page.error->number, page.error->source.c_str(),
                page.error->description.c_str());
  }
  std::printf("uploadAllFilesOrNone: %s\n", page.uploadAllFilesOrNone ? "true" : "false");
  if (!page.response.empty()) std::printf("response: %s\n", page.response.c_str());
  std::printf("items: %zu\n", page.form.size());
  // One write per item: a form may hold many thousands.
  std::string line;
  for (size_t i = 0; i < page.form.size(); ++i) {
    const ItemReport& item = page.form[i];
    line.assign("  ").append(std::to_string(i + 1)).append(". ").append(Quoted(item.name));
    if (item.isFile) {
      line.append(" file ").append(Quoted(item.fileName)).append(" from ").append(Quoted(item.clientPath));
      line.append(", ").append(std::to_string(item.fileSize)).append(" bytes");
    }
    line.append(item.multipleValues ? " (multiple values)\n" : "\n");
    for (const auto& v : item.values) line.append("       value: ").append(v ? Quoted(*v) : "null").append("\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (page.releaseError) {
    std::printf("release error: %d (%s): %s\n", page.releaseError->number, page.releaseError->source.c_str(),
                page.releaseError->description.c_str());
  }
}

}  // namespace

int RunStore(int argc, char** argv) {
  StoreOptions options;
  if (auto status = ParseArguments(argc, argv, options)) return *status;

  std::FILE* stream = stdin;
  if (options.body != "-") {
    stream = std::fopen(options.body.c_str(), "rb");
    if (stream == nullptr) {
      std::fprintf(stderr, "parcelmoor store: cannot open %s: %s\n", options.body.c_str(), std::strerror(errno));
      return 2;
    }
  }
  std::optional<int64_t> length = RemainingLength(stream);
  if (!length && !options.host.totalBytes) {
    if (stream != stdin) std::fclose(stream);
    return UsageError("--total-bytes is required when the body is not a regular file");
  }
  // Reads go straight into the reader's chunk; no stdio buffer in between.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  auto host = MemoryHost::FromStream(stream, length, options.host);

  PageResult page = RunUploadPage(host, options.settings);
  page.response = host->responseText();

  if (options.json) {
    std::printf("%s\n", PageResultToJson(page).c_str());
  } else {
    PrintListing(page);
  }
  std::fflush(stdout);
  return page.error ? 1 : 0;
}

}  // namespace parcelmoor::apps
