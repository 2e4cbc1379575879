// The vector kernels compare two bytes of the needle (its first and its last)
// at 16 or 32 positions per step: two loads and one AND per step. For the
// line scanner's needle the first is CR, which random content, runs of CR and
// text all rarely hold a delimiter's length before the needle's last byte
// (one position in 65,536 of random content); a position that passes is
// compared in full with memcmp. A full compare that matched k bytes can be followed by the
// next candidate only past those bytes (the needle holds CR LF only at its
// start), so the work stays linear in the haystack for any content. glibc's
// memmem, which this replaces, is linear too but slows down with the length
// of the needle on inputs such as runs of CR.

#include "multipart/delimiter_search.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define PARCELMOOR_X86_KERNELS 1
#endif

namespace parcelmoor {
namespace {

// The bytes between the first and the last. REQUIRES: needleLength >= 2 and
// those two bytes already agree at `at`.
inline bool MiddleMatches(const uint8_t* at, const uint8_t* needle, size_t needleLength) {
  return needleLength <= 2 || std::memcmp(at + 1, needle + 1, needleLength - 2) == 0;
}

// The first of the candidates in `mask` (bit k: position base + k) that
// holds the whole needle, or nullptr.
inline const uint8_t* FirstVerified(uint32_t mask, const uint8_t* base, const uint8_t* needle,
                                    size_t needleLength) {
  while (mask != 0) {
    const uint8_t* at = base + __builtin_ctz(mask);
    if (MiddleMatches(at, needle, needleLength)) return at;
    mask &= mask - 1;
  }
  return nullptr;
}

// Positions from..lastStart one at a time. REQUIRES: needleLength >= 2;
// lastStart + needleLength <= the haystack's length.
const uint8_t* ScalarSearch(const uint8_t* haystack, size_t from, size_t lastStart, const uint8_t* needle,
                            size_t needleLength) {
  const uint8_t first = needle[0];
  const uint8_t second = needle[1];
  const uint8_t last = needle[needleLength - 1];
  for (size_t i = from; i <= lastStart; ++i) {
    if (haystack[i] == first && haystack[i + 1] == second && haystack[i + needleLength - 1] == last &&
        MiddleMatches(haystack + i, needle, needleLength)) {
      return haystack + i;
    }
  }
  return nullptr;
}

#ifdef PARCELMOOR_X86_KERNELS

// Each vector step tests the positions i .. i + width - 1; its loads reach
// byte i + width - 1 + needleLength - 1 at most, which lies in the haystack
// while i + width - 1 <= lastStart. The positions left over go one by one.
const uint8_t* Sse2Search(const uint8_t* haystack, size_t lastStart, const uint8_t* needle, size_t needleLength) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(needle[0]));
  const __m128i last = _mm_set1_epi8(static_cast<char>(needle[needleLength - 1]));
  size_t i = 0;
  for (; i + 15 <= lastStart; i += 16) {
    const uint8_t* at = haystack + i;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + needleLength - 1));
    const __m128i hits = _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(c, last));
    const auto mask = static_cast<uint32_t>(_mm_movemask_epi8(hits));
    if (mask != 0) {
      if (const uint8_t* found = FirstVerified(mask, at, needle, needleLength)) return found;
    }
  }
  return ScalarSearch(haystack, i, lastStart, needle, needleLength);
}

// Positions where the first and the last byte agree, one bit each.
__attribute__((target("avx2"))) inline uint32_t Avx2Candidates(const uint8_t* at, size_t needleLength, __m256i first,
                                                               __m256i last) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + needleLength - 1));
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first),
                                                                     _mm256_cmpeq_epi8(c, last))));
}

// Two vectors per step: most steps find no candidate in either.
__attribute__((target("avx2"))) const uint8_t* Avx2Search(const uint8_t* haystack, size_t lastStart,
                                                          const uint8_t* needle, size_t needleLength) {
  const __m256i first = _mm256_set1_epi8(static_cast<char>(needle[0]));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(needle[needleLength - 1]));
  size_t i = 0;
  for (; i + 63 <= lastStart; i += 64) {
    const uint8_t* at = haystack + i;
    const uint32_t low = Avx2Candidates(at, needleLength, first, last);
    const uint32_t high = Avx2Candidates(at + 32, needleLength, first, last);
    if ((low | high) == 0) continue;
    if (const uint8_t* found = FirstVerified(low, at, needle, needleLength)) return found;
    if (const uint8_t* found = FirstVerified(high, at + 32, needle, needleLength)) return found;
  }
  if (i > lastStart) return nullptr;
  return Sse2Search(haystack + i, lastStart - i, needle, needleLength);
}

bool ProcessorHasAvx2() {
#ifdef __AVX2__
  return true;
#else
  return __builtin_cpu_supports("avx2");
#endif
}

#endif  // PARCELMOOR_X86_KERNELS

struct KernelList {
  SearchKernel kernels[3];
  size_t count = 0;
};

const KernelList& Kernels() {
  static const KernelList list = [] {
    KernelList l{};
    l.kernels[l.count++] = SearchKernel::kScalar;
#ifdef PARCELMOOR_X86_KERNELS
    l.kernels[l.count++] = SearchKernel::kSse2;
    if (ProcessorHasAvx2()) l.kernels[l.count++] = SearchKernel::kAvx2;
#endif
    return l;
  }();
  return list;
}

}  // namespace

std::span<const SearchKernel> AvailableSearchKernels() {
  const KernelList& list = Kernels();
  return {list.kernels, list.count};
}

const uint8_t* FindDelimiterLeadIn(const uint8_t* haystack, size_t haystackLength, const uint8_t* needle,
                                   size_t needleLength) {
  static const SearchKernel preferred = AvailableSearchKernels().back();
  return FindDelimiterLeadIn(preferred, haystack, haystackLength, needle, needleLength);
}

const uint8_t* FindDelimiterLeadIn(SearchKernel kernel, const uint8_t* haystack, size_t haystackLength,
                                   const uint8_t* needle, size_t needleLength) {
  if (needleLength == 0) return haystack;
  if (haystackLength < needleLength) return nullptr;
  if (needleLength == 1) return static_cast<const uint8_t*>(std::memchr(haystack, needle[0], haystackLength));
  const size_t lastStart = haystackLength - needleLength;
  switch (kernel) {
#ifdef PARCELMOOR_X86_KERNELS
    case SearchKernel::kAvx2:
      return Avx2Search(haystack, lastStart, needle, needleLength);
    case SearchKernel::kSse2:
      return Sse2Search(haystack, lastStart, needle, needleLength);
#endif
    default:
      return ScalarSearch(haystack, 0, lastStart, needle, needleLength);
  }
}

}  // namespace parcelmoor
