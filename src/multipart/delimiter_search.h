#pragma once
// Substring search for the line scanner's delimiter lead-in (CR LF followed
// by the delimiter), at a speed that depends neither on the delimiter nor on
// the bytes searched.
//
// Answers exactly what memmem answers: the first position at which `needle`
// occurs in `haystack`, `haystack` itself for an empty needle, nullptr when
// there is none. A vector pass compares the needle's first and last bytes at
// every position at once; only positions where both agree are compared in
// full.

#include <cstddef>
#include <cstdint>
#include <span>

namespace parcelmoor {

// The same search, done with the widest vector unit the processor offers;
// each is exposed so that tests can hold every one to the same answers.
enum class SearchKernel { kScalar, kSse2, kAvx2 };

// Kernels this build and this processor can run, the preferred one last.
std::span<const SearchKernel> AvailableSearchKernels();

// The first occurrence of needle[0, needleLength) in haystack[0,
// haystackLength), with the preferred kernel.
const uint8_t* FindDelimiterLeadIn(const uint8_t* haystack, size_t haystackLength, const uint8_t* needle,
                                   size_t needleLength);

// The same with a chosen kernel. REQUIRES: `kernel` is one of
// AvailableSearchKernels().
const uint8_t* FindDelimiterLeadIn(SearchKernel kernel, const uint8_t* haystack, size_t haystackLength,
                                   const uint8_t* needle, size_t needleLength);

}  // namespace parcelmoor
