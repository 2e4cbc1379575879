// The delimiter search against std::search, with every kernel the processor
// runs, on inputs made to trip a filter that looks at a few bytes: runs of CR,
// near-copies of the needle, matches at either end of the buffer and across
// the vector width, and every length of buffer around the needle's.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "multipart/delimiter_search.h"

namespace parcelmoor::testing {
namespace {

const std::string kDelimiter = "------WebKitFormBoundaryq8ZvX3nLc0TbR5aK";
const std::string kLeadIn = "\r\n" + kDelimiter;

struct SearchCase {
  const char* why;
  std::string haystack;
  std::string needle;
};

std::string Repeat(const std::string& piece, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += piece;
  return s;
}

std::vector<SearchCase> Cases() {
  const std::string cr(100, '\r');
  std::string lastByteChanged = kLeadIn;
  lastByteChanged.back() = 'X';
  std::string middleChanged = kLeadIn;
  middleChanged[20] = 'X';
  std::vector<SearchCase> cases = {
      {"empty needle", "abc", ""},
      {"one-byte needle", "ab\rc", "\r"},
      {"two-byte needle", "\r\r\r\n", "\r\n"},
      {"haystack shorter than needle", kLeadIn.substr(1), kLeadIn},
      {"haystack is the needle", kLeadIn, kLeadIn},
      {"CR run, no LF", cr + cr + cr, kLeadIn},
      {"CR run, then the needle at the end", cr + cr + kLeadIn, kLeadIn},
      {"needle at the start, then CRs", kLeadIn + cr, kLeadIn},
      {"needle cut by the end", cr + kLeadIn.substr(0, kLeadIn.size() - 1), kLeadIn},
      {"last byte differs", Repeat(lastByteChanged, 9), kLeadIn},
      {"middle byte differs, then the needle", Repeat(middleChanged, 9) + kLeadIn + "x", kLeadIn},
      {"CR LF runs", Repeat("\r\n", 300) + kLeadIn, kLeadIn},
      {"first, second and last bytes at needle spacing", Repeat("\r\n" + std::string(kLeadIn.size() - 3, '-') + "K", 40),
       kLeadIn},
      {"needle of CRs in a CR run", std::string(500, '\r'), std::string(70, '\r')},
      {"needle of CRs after an LF", std::string(200, '\r') + "\n" + std::string(200, '\r'), "\n" + std::string(70, '\r')},
      {"two matches, the first wins", cr + kLeadIn + cr + kLeadIn, kLeadIn},
  };
  // A match at every offset across two 64-byte steps, with a buffer that
  // ends right behind it or a little later.
  for (size_t at = 0; at < 130; ++at) {
    cases.push_back({"match at an offset", std::string(at, '\r') + kLeadIn, kLeadIn});
    cases.push_back({"match at an offset, tail", std::string(at, '-') + kLeadIn + std::string(at % 7, '\r'), kLeadIn});
  }
  return cases;
}

TEST(DelimiterSearch, AnswersAsStdSearchWithEveryKernel) {
  for (const SearchKernel kernel : AvailableSearchKernels()) {
    for (const SearchCase& c : Cases()) {
      const auto* hay = reinterpret_cast<const uint8_t*>(c.haystack.data());
      const auto* needle = reinterpret_cast<const uint8_t*>(c.needle.data());
      const size_t want = static_cast<size_t>(
          std::search(c.haystack.begin(), c.haystack.end(), c.needle.begin(), c.needle.end()) - c.haystack.begin());
      // Every prefix of the haystack: matches at the buffer's very end.
      for (size_t length = 0; length <= c.haystack.size(); ++length) {
        const uint8_t* found = FindDelimiterLeadIn(kernel, hay, length, needle, c.needle.size());
        const bool fits = want + c.needle.size() <= length;
        const size_t got = found == nullptr ? SIZE_MAX : static_cast<size_t>(found - hay);
        ASSERT_EQ(got, fits ? want : SIZE_MAX)
            << c.why << ", kernel " << static_cast<int>(kernel) << ", length " << length;
      }
    }
  }
}

}  // namespace
}  // namespace parcelmoor::testing
