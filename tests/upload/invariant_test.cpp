// Where the reads end must not matter: a body that parses to its end gives
// the same Form and byte-identical stored files for every plan of read sizes.
// Bodies are generated from fixed seeds: fields and files whose contents are
// dense with CR, LF, lone CRs, lines starting with "--" and near-copies of
// the delimiter line, some of them sized around one read (65,535 bytes).
// Each run is compared with the whole-read run and with the Form and files
// the generator meant, so a result that is consistent but wrong fails too.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/form_text.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

struct Generated {
  std::string body;
  std::vector<ItemView> form;
  std::map<std::string, std::string> files;
};

class BodyGenerator {
 public:
  explicit BodyGenerator(uint64_t seed) : rng_(seed) {}

  // `big` asks for some contents around 65,535 bytes and more.
  Generated Next(bool big) {
    Generated g;
    delim_ = "--" + Letters(Between(1, 3) == 1 ? Between(1, 3) : Between(8, 60));
    if (Between(1, 12) == 1) delim_ += '\r';  // a delimiter line whose last byte is CR
    const int parts = Between(1, 6);
    for (int i = 0; i < parts; ++i) {
      const int kind = Between(1, 10);
      std::string content = Content(big && Between(1, 3) == 1 ? BigSize() : Between(0, 3) == 0 ? 0 : Between(1, 300));
      g.body += delim_ + "\r\n";
      const std::string name = "n" + std::to_string(i);
      if (kind <= 5) {  // a plain field
        std::vector<std::string> headers = {"Content-Disposition: form-data; name=\"" + name + "\""};
        if (Between(1, 3) == 1) headers.push_back("Content-Type: text/plain; charset=utf-8");
        if (Between(1, 3) == 1) headers.insert(headers.begin() + Between(0, 1), JunkHeader());
        if (Between(1, 4) == 1) std::swap(headers.front(), headers.back());
        for (const auto& h : headers) g.body += h + "\r\n";
        ItemView item;
        item.name = name;
        item.values.push_back(content.empty() ? std::nullopt : std::optional<std::string>(content));
        g.form.push_back(item);
      } else if (kind <= 9) {  // a file
        const std::string fileName = "file" + std::to_string(i) + ".bin";
        g.body += "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"\r\n";
        if (Between(1, 2) == 1) g.body += JunkHeader() + "\r\n";
        g.body += "Content-Type: application/octet-stream\r\n";
        ItemView item;
        item.name = name;
        item.values.push_back(fileName);
        item.isFile = true;
        item.fileName = fileName;
        item.clientPath = fileName;
        item.fileSize = static_cast<int32_t>(content.size());
        g.form.push_back(item);
        g.files[fileName] = content;
      } else {  // a part without Content-Disposition: its content goes nowhere
        g.body += "Content-Type: text/plain\r\n";
      }
      g.body += "\r\n" + content + "\r\n";
    }
    g.body += delim_ + (Between(1, 4) == 1 ? std::string("--") : Letters(2)) + "\r\n";
    if (Between(1, 4) == 1) g.body += "epilogue " + Letters(Between(0, 40)) + "\r\n";
    return g;
  }

 private:
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  std::string Letters(int n) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789'()+_,./:=?-";
    std::string s;
    for (int i = 0; i < n; ++i) s += kAlphabet[Between(0, sizeof kAlphabet - 2)];
    return s;
  }
  std::string Bytes(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(Between(0, 255));
    return s;
  }
  int BigSize() {
    static constexpr int kSizes[] = {65533, 65534, 65535, 65536, 65537, 131069, 131070, 131071};
    return Between(1, 3) == 1 ? Between(60000, 140000) : kSizes[Between(0, 7)];
  }
  std::string JunkHeader() { return "X-Note: " + Letters(Between(0, 10)) + (Between(1, 2) == 1 ? "\r" : "--\n"); }

  // The delimiter line, cut, lengthened or changed so that it is no delimiter line.
  std::string NearDelimiter() {
    std::string d = delim_;
    switch (Between(0, 4)) {
      case 0:
        return d.substr(0, Between(0, static_cast<int>(d.size()) - 1));
      case 1:
        return d + Bytes(1);
      case 2:
        return d + Bytes(3);
      case 3:
        d[Between(0, static_cast<int>(d.size()) - 1)] ^= static_cast<char>(Between(1, 255));
        return d;
      default:
        return d + "--";  // a close delimiter: content where no line end precedes it
    }
  }

  std::string Piece() {
    switch (Between(0, 13)) {
      case 0: return "\r\n";
      case 1: return "\r";
      case 2: return "\n";
      case 3: return "\r\r\n";
      case 4: return "\n\r";
      case 5: return "--";
      case 6: return "\r\n--" + Letters(Between(0, 4));
      case 7: return "\r\n" + NearDelimiter();
      case 8: return NearDelimiter();
      case 9: return "\r\n" + NearDelimiter() + "\r\n";
      case 10: return Bytes(Between(1, 40));
      case 11: return std::string(static_cast<size_t>(Between(1, 30)), '\r');
      default: return Letters(Between(1, 20));
    }
  }

  std::string Content(int size) {
    std::string s;
    while (static_cast<int>(s.size()) < size) {
      // Big contents are mostly plain bytes, with the features sprinkled in.
      s += size > 4096 && Between(1, 4) != 1 ? Bytes(Between(100, 2000)) : Piece();
    }
    s.resize(static_cast<size_t>(size));
    BreakDelimiterLines(s);
    return s;
  }

  // The content ends where a delimiter line follows a line end or begins the
  // content; a line that would be one gets a byte in front so that the part
  // goes on.
  void BreakDelimiterLines(std::string& s) const {
    const size_t b = delim_.size();
    // `at` is where a line begins; the content is followed by CR LF, so its
    // last line ends with it.
    auto breakLineAt = [&](size_t at) {
      const size_t next = s.find("\r\n", at);
      const size_t length = (next == std::string::npos ? s.size() : next) - at;
      if ((length == b || length == b + 2) && s.compare(at, b, delim_) == 0) s.insert(at, 1, 'x');
    };
    breakLineAt(0);
    for (size_t i = s.find("\r\n"); i != std::string::npos; i = s.find("\r\n", i + 2)) breakLineAt(i + 2);
  }

  std::mt19937_64 rng_;
  std::string delim_;
};

struct Outcome {
  std::string form;
  std::map<std::string, std::string> files;
};

// Runs the body into the empty directory `dir` and empties it again.
Outcome Run(const std::string& body, const std::vector<size_t>& plan, const TempDir& dir, const std::string& where) {
  StoreRun run = Store(body, dir, {.readPlan = plan, .totalBytes = {}, .disconnectAfter = {}, .maxFileSize = {}});
  EXPECT_FALSE(run.error) << where << ": " << run.error->what();
  if (run.upload->lastParseFailure()) ADD_FAILURE() << where << ": " << run.upload->lastParseFailure()->what();
  EXPECT_EQ(run.host->responseText(), "") << where;
  Outcome outcome{FormText(run.form), dir.Files()};
  run.upload->release();
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) std::filesystem::remove_all(entry.path());
  return outcome;
}

std::string PlanText(const std::vector<size_t>& plan) {
  std::string text;
  for (size_t n : plan) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text.empty() ? "whole reads" : "reads " + text;
}

void CheckEveryPlan(const Generated& g, uint64_t seed, std::mt19937_64& rng) {
  TempDir dir;
  const std::string expectedForm = FormText(g.form);
  const Outcome whole = Run(g.body, {}, dir, "seed " + std::to_string(seed) + ", whole reads");
  EXPECT_EQ(whole.form, expectedForm) << "seed " << seed;
  EXPECT_EQ(whole.files, g.files) << "seed " << seed;

  std::vector<std::vector<size_t>> plans = {{65535}, {7}, {13, 1, 65535, 2, 700}};
  if (g.body.size() <= 8000) plans.insert(plans.end(), {{1}, {2}, {3}});
  std::vector<size_t> mixed;
  for (int i = 0; i < 16; ++i) {
    const int kind = std::uniform_int_distribution<int>(0, 3)(rng);
    mixed.push_back(kind == 0 ? 1 + rng() % 4 : kind == 1 ? 1 + rng() % 100 : 1 + rng() % 70000);
  }
  plans.push_back(mixed);

  for (const auto& plan : plans) {
    const std::string where = "seed " + std::to_string(seed) + ", " + PlanText(plan);
    const Outcome split = Run(g.body, plan, dir, where);
    EXPECT_EQ(split.form, whole.form) << where;
    EXPECT_TRUE(split.files == whole.files) << where;  // contents are too large to print
    if (split.form != whole.form || split.files != whole.files) return;
  }
}

TEST(InvariantTest, SmallBodiesGiveTheSameResultForEveryPlan) {
  for (uint64_t seed = 1; seed <= 150; ++seed) {
    BodyGenerator generator(seed);
    std::mt19937_64 rng(seed);
    CheckEveryPlan(generator.Next(false), seed, rng);
    if (HasFailure()) return;
  }
}

TEST(InvariantTest, BodiesWithContentsAroundOneReadGiveTheSameResultForEveryPlan) {
  for (uint64_t seed = 1001; seed <= 1012; ++seed) {
    BodyGenerator generator(seed);
    std::mt19937_64 rng(seed);
    CheckEveryPlan(generator.Next(true), seed, rng);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace parcelmoor::testing
