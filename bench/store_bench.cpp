// Storing a body held in memory through storeUploadedFiles: the line scanner
// and the file writer, without process start or disk. Files go to a directory
// under /dev/shm when it exists. Reports bytes per second of body (GB/s in
// the bytes_per_second column), per workload and per kind of boundary:
// Chromium-style (38 characters), curl-style (40) and the longest allowed (70).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "host/memory_host.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr size_t kFileBytes = 8 << 20;

const std::string& Delimiter(const std::string& boundary) {
  static const std::string chromium = "------WebKitFormBoundaryq8ZvX3nLc0TbR5aK";
  static const std::string curl = "--" + std::string(24, '-') + "5f2c9a0e71b3d846";
  static const std::string longest = "--" + std::string("Xy7'()+_,-./:=?") + std::string(54, 'k') + "Z";
  return boundary == "chromium" ? chromium : boundary == "curl" ? curl : longest;
}

std::string FileHead(const std::string& delim, const std::string& name) {
  return delim + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}
std::string Close(const std::string& delim) { return "\r\n" + delim + "--\r\n"; }

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
std::string DenseLines(const std::string& delim, size_t n, std::mt19937_64& rng) {
  const std::string pieces[] = {"\r\n", "\r", "\n", "--ab\r\n", delim + "x\r\n", delim.substr(0, 20) + "\r\n",
                                "\r\n" + delim + "abc", "text text\r\n", "\r\r\n"};
  std::string s;
  while (s.size() < n) s += pieces[rng() % std::size(pieces)];
  s.resize(n);
  return s;
}

std::string Body(const std::string& which, const std::string& boundary) {
  const std::string& delim = Delimiter(boundary);
  std::mt19937_64 rng(7);
  if (which == "random") return FileHead(delim, "random.bin") + RandomBytes(kFileBytes, rng) + Close(delim);
  if (which == "cr") return FileHead(delim, "cr.bin") + std::string(kFileBytes, '\r') + Close(delim);
  if (which == "dense") return FileHead(delim, "dense.bin") + DenseLines(delim, kFileBytes, rng) + Close(delim);
  std::string body;
  if (which == "files") {
    for (int i = 0; i < 128; ++i) body += FileHead(delim, "f" + std::to_string(i)) + RandomBytes(64 << 10, rng) + "\r\n";
  } else {  // fields
    for (int i = 0; i < 20000; ++i) {
      body += delim + "\r\nContent-Disposition: form-data; name=\"field" + std::to_string(i) + "\"\r\n\r\n" +
              RandomBytes(20, rng).replace(0, 0, "v") + "\r\n";
    }
  }
  return body + delim + "--\r\n";
}

std::string BenchDirectory() {
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  std::string templ = (base / "pmbench-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return std::string();
  return templ;
}

void BM_Store(benchmark::State& state, const std::string& which, const std::string& boundary) {
  const std::string body = Body(which, boundary);
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

#define PARCELMOOR_STORE_BENCH(workload, which)                                                       \
  BENCHMARK_CAPTURE(BM_Store, workload##_chromium, std::string(which), std::string("chromium"))    \
      ->Unit(benchmark::kMillisecond);                                                               \
  BENCHMARK_CAPTURE(BM_Store, workload##_curl, std::string(which), std::string("curl"))            \
      ->Unit(benchmark::kMillisecond);                                                               \
  BENCHMARK_CAPTURE(BM_Store, workload##_long, std::string(which), std::string("long"))            \
      ->Unit(benchmark::kMillisecond)

PARCELMOOR_STORE_BENCH(random_file, "random");
PARCELMOOR_STORE_BENCH(cr_only_file, "cr");
PARCELMOOR_STORE_BENCH(dense_lines_file, "dense");
PARCELMOOR_STORE_BENCH(files_of_64k, "files");
PARCELMOOR_STORE_BENCH(small_fields, "fields");

}  // namespace
}  // namespace parcelmoor

BENCHMARK_MAIN();
