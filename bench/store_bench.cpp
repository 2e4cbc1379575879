// Storing a body held in memory through storeUploadedFiles: the line scanner
// and the file writer, without process start or disk. Files go to a directory
// under /dev/shm when it exists. Reports bytes per second of body.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "host/memory_host.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

const std::string kDelim = "------parcelmoorBenchQ7fK2pZx9Lw3";
constexpr size_t kFileBytes = 8 << 20;

std::string FileHead(const std::string& name) {
  return kDelim + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}
std::string Close() { return "\r\n" + kDelim + "--\r\n"; }

std::string RandomBytes(size_t n, std::mt19937_64& rng) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng();
    for (size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

// Short lines of line ends, lone CR and LF, "--" lines and near-copies of
// the delimiter line (never the delimiter itself).
std::string DenseLines(size_t n, std::mt19937_64& rng) {
  const std::string pieces[] = {"\r\n", "\r", "\n", "--ab\r\n", kDelim + "x\r\n", kDelim.substr(0, 20) + "\r\n",
                                "\r\n" + kDelim + "abc", "text text\r\n", "\r\r\n"};
  std::string s;
  while (s.size() < n) s += pieces[rng() % std::size(pieces)];
  s.resize(n);
  return s;
}

std::string Body(const std::string& which) {
  std::mt19937_64 rng(7);
  if (which == "random") return FileHead("random.bin") + RandomBytes(kFileBytes, rng) + Close();
  if (which == "cr") return FileHead("cr.bin") + std::string(kFileBytes, '\r') + Close();
  if (which == "dense") return FileHead("dense.bin") + DenseLines(kFileBytes, rng) + Close();
  std::string body;
  if (which == "files") {
    for (int i = 0; i < 128; ++i) body += FileHead("f" + std::to_string(i)) + RandomBytes(64 << 10, rng) + "\r\n";
  } else {  // fields
    for (int i = 0; i < 20000; ++i) {
      body += kDelim + "\r\nContent-Disposition: form-data; name=\"field" + std::to_string(i) + "\"\r\n\r\n" +
              RandomBytes(20, rng).replace(0, 0, "v") + "\r\n";
    }
  }
  return body + kDelim + "--\r\n";
}

std::string BenchDirectory() {
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  std::string templ = (base / "pmbench-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return std::string();
  return templ;
}

void BM_Store(benchmark::State& state, const std::string& which) {
  const std::string body = Body(which);
  const std::string dir = BenchDirectory();
  if (dir.empty()) {
    state.SkipWithError("no directory");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto host = MemoryHost::FromBytes(body);
    auto upload = UploadFile::Create();
    upload->OnStartPage(host);
    upload->put_UploadDirectory(dir);
    state.ResumeTiming();
    upload->storeUploadedFiles();
    upload->release();
    if (upload->lastParseFailure()) state.SkipWithError(upload->lastParseFailure()->what());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
  std::filesystem::remove_all(dir);
}

BENCHMARK_CAPTURE(BM_Store, random_file, std::string("random"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Store, cr_only_file, std::string("cr"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Store, dense_lines_file, std::string("dense"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Store, files_of_64k, std::string("files"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Store, small_fields, std::string("fields"))->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace parcelmoor

BENCHMARK_MAIN();
