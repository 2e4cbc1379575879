// `parcelmoor store`: stores one request body the way a page does and reports
// the result, as a readable listing or as one JSON object.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "commands.h"
#include "host/memory_host.h"
#include "host/page_answer.h"
#include "host/page_runner.h"
#include "options.h"
#include "storage/posix_io.h"

namespace parcelmoor::apps {
namespace {

struct StoreOptions {
  UploadSettings settings;
  MemoryHostOptions host;
  std::string body = "-";
  bool json = false;
};

po::options_description StoreOnlyOptions(StoreOptions& o) {
  po::options_description d("Store options");
  d.add_options()
      ("json", po::bool_switch(&o.json), "print one JSON object instead of a listing")
      ("reads", po::value<std::string>()->value_name("LIST")->notifier([&o](const std::string& v) {
         auto plan = ParseReadPlan(v);
         if (!plan) throw po::error("--reads needs a comma-separated list of positive sizes, not '" + v + "'");
         o.host.readPlan = *plan;
       }), "read sizes used in turn, comma-separated (\"1\": one byte per read)")
      ("total-bytes", po::value<ByteCount>()->value_name("SIZE")->notifier([&o](ByteCount v) {
         o.host.totalBytes = v.value;
       }), "announced body length (default: the body's length)")
      ("disconnect-after", po::value<ByteCount>()->value_name("SIZE")->notifier([&o](ByteCount v) {
         o.host.disconnectAfter = v.value;
       }), "the client counts as gone once this many body bytes were delivered")
      ("body", po::value(&o.body)->value_name("BODY"), "the body file (the positional argument)");
  return d;
}

std::string Quoted(const std::string& s) { return JsonString(s); }

// "       file: "b.txt" from "C:\b.txt", 5 of 5 bytes stored (stored)"
void AppendFileLine(std::string& line, const FileRecord& file) {
  line.append("       file: ").append(Quoted(file.fileName)).append(" from ").append(Quoted(file.clientPath));
  line.append(", ").append(std::to_string(file.bytesStored)).append(" of ").append(std::to_string(file.bytesReceived));
  line.append(" bytes stored (").append(OutcomeName(file.outcome)).append(")\n");
}

void PrintListing(const PageResult& page) {
  if (page.result) std::printf("result: %d\n", *page.result);
  if (page.error) {
    std::printf("error: %d (%s): %s\n", page.error->number, page.error->source.c_str(),
                page.error->description.c_str());
  }
  std::printf("uploadAllFilesOrNone: %s\n", page.uploadAllFilesOrNone ? "true" : "false");
  if (!page.response.empty()) std::printf("response: %s\n", page.response.c_str());
  std::printf("items: %zu\n", page.form.size());
  std::unordered_map<std::string, std::vector<const FileRecord*>> filesByField;
  for (const FileRecord& file : page.files) filesByField[file.fieldName].push_back(&file);
  // One write per item: a form may hold many thousands.
  std::string line;
  for (size_t i = 0; i < page.form.size(); ++i) {
    const ItemReport& item = page.form[i];
    line.assign("  ").append(std::to_string(i + 1)).append(". ").append(Quoted(item.name));
    line.append(item.isFile ? " file field" : "").append(item.multipleValues ? " (multiple values)\n" : "\n");
    if (item.isFile) {
      // The item names only its first file; the records name every one.
      auto field = filesByField.find(item.name);
      if (field != filesByField.end()) {
        for (const FileRecord* file : field->second) AppendFileLine(line, *file);
      }
    } else {
      for (const auto& v : item.values) line.append("       value: ").append(v ? Quoted(*v) : "null").append("\n");
    }
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
  Command command{"store",
                  "usage: parcelmoor store [options] [BODY]\n"
                  "Stores the raw multipart/form-data request body in BODY (\"-\" or none: standard input)\n"
                  "and lists what a page would see. Exit status: 0 stored, 1 the directory could not be\n"
                  "used or the page failed, 2 bad options or body, 3 the upload stopped.",
                  StoreOnlyOptions(options), {}, false};
  command.options.add(PageOptions(options.settings));
  command.positional.add("body", 1);
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return UsageError(command, error);
    case Parsed::kRun: break;
  }

  // As serve and cgi do: the default directory, made when missing, so that
  // trying the command needs no preparation.
  if (!PrepareUploadDirectory(options.settings, error)) {
    std::fprintf(stderr, "parcelmoor store: %s\n", error.c_str());
    return 1;
  }

  std::FILE* stream = stdin;
  if (options.body != "-") {
    stream = std::fopen(options.body.c_str(), "rb");
    if (stream == nullptr) {
      std::fprintf(stderr, "parcelmoor store: cannot open %s: %s\n", options.body.c_str(), std::strerror(errno));
      return 2;
    }
  }
  std::optional<int64_t> length = RemainingInRegularFile(stream);
  if (!length && !options.host.totalBytes) {
    if (stream != stdin) std::fclose(stream);
    return UsageError(command, "--total-bytes is required when the body is not a regular file");
  }
  // Reads go straight into the reader's chunk; no stdio buffer in between.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  auto host = MemoryHost::FromStream(stream, length, options.host);

  // The local, trusted view: every value whole (the field limits bound them).
  options.settings.wholeFormValues = true;
  PageResult page = RunUploadPage(host, options.settings);
  page.response = host->responseText();

  if (options.json) {
    std::printf("%s\n", PageResultToWholeJson(page).c_str());
  } else {
    PrintListing(page);
  }
  std::fflush(stdout);
  if (page.error) return 1;
  // Stopped with a notice (a missing directory, a refused name, a full
  // disk...): the upload failed, and scripts calling store must see it.
  if (page.parseFailure) {
    std::fprintf(stderr, "parcelmoor store: the upload stopped: %s\n", page.parseFailure->description.c_str());
    return 3;
  }
  if (page.scanFailure) {
    std::fprintf(stderr, "parcelmoor store: the upload could not be scanned, nothing was kept: %s\n",
                 page.scanFailure->c_str());
    return 3;
  }
  return 0;
}

}  // namespace parcelmoor::apps
