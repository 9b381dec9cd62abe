// The fused bounds and picks on AVX-512BW: group bounds 32 groups at once,
// then each live group's 16 centres in one vector, the lanes outside the
// row masked off (masked loads read nothing there), and the passing
// columns packed by vpcompressd.
#include <algorithm>

#include "fill/cpu/bound_picks.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"
#include "fill/cpu/bound_terms.h"

namespace pw {

namespace {

constexpr int kGroup = BoxGroupRanges::kGroup;

PW_AVX512 inline __m512i Run32(const BoundTerm& t, size_t i) {
  __m512i run = _mm512_sub_epi16(_mm512_loadu_si512(t.hq + i), _mm512_loadu_si512(t.lq + i));
  if (!t.one_block)
    run = _mm512_add_epi16(
        run, _mm512_sub_epi16(_mm512_loadu_si512(t.hp + i), _mm512_loadu_si512(t.lp + i)));
  return run;
}

PW_AVX512 inline __m512i Run32(const BoundTerm& t, size_t i, __mmask32 m) {
  __m512i run = _mm512_sub_epi16(_mm512_maskz_loadu_epi16(m, t.hq + i),
                                 _mm512_maskz_loadu_epi16(m, t.lq + i));
  if (!t.one_block)
    run = _mm512_add_epi16(run, _mm512_sub_epi16(_mm512_maskz_loadu_epi16(m, t.hp + i),
                                                 _mm512_maskz_loadu_epi16(m, t.lp + i)));
  return run;
}

// The bounds of 32 groups from g (a multiple of 32) in 16-bit lanes.
PW_AVX512 inline __m512i GroupBounds32(const BoundTerm* terms, int n, size_t maxima, size_t g) {
  __m512i acc = _mm512_setzero_si512();
  for (int t = 0; t < n; ++t) {
    // The target's distance to [low, high]: at most one side is positive.
    const __m512i target = _mm512_set1_epi16(static_cast<int16_t>(terms[t].target));
    acc = _mm512_adds_epu16(acc, _mm512_subs_epu16(Run32(terms[t], g), target));
    acc = _mm512_adds_epu16(acc, _mm512_subs_epu16(target, Run32(terms[t], g + maxima)));
  }
  return acc;
}

}  // namespace

PW_AVX512 void GroupBoundsAvx512(const RowRunBound& rb, const BoxGroupRanges& groups, int cy,
                                 int radius, int g0, int n, uint16_t* out) {
  BoundTerm terms[kMaxBoundTerms];
  const int count = GroupTerms(rb, groups, cy, radius, terms);
  const size_t maxima = 3 * static_cast<size_t>(groups.stride());
  for (int k = 0; k < n; k += 32)
    _mm512_storeu_si512(out + k,
                        GroupBounds32(terms, count, maxima, static_cast<size_t>(g0 + k)));
}

// The lanes of live groups among the 32 centres of columns x .. x + 31
// (x a multiple of 32), within the row's centres [x0, end).
PW_AVX512 inline __mmask32 LiveLanes(uint32_t pair, int x, int x0, int end) {
  __mmask32 in = (pair & 1 ? 0xFFFFu : 0u) | (pair & 2 ? 0xFFFF0000u : 0u);
  if (x < x0) in &= ~uint32_t{0} << (x0 - x);
  if (end - x < 32) in &= (uint32_t{1} << (end - x)) - 1;
  return in;
}

PW_AVX512 int BoundPicksAvx512(const BoundPickRow& row, int32_t* picks, int32_t* lower) {
  BoundTerm terms[kMaxBoundTerms];
  const int n = CentreTerms(*row.runs, *row.sums, row.cy, row.radius, terms);
  __m512i targets[kMaxBoundTerms];
  for (int t = 0; t < n; ++t)
    targets[t] = _mm512_set1_epi16(static_cast<int16_t>(terms[t].target));
  const uint16_t limit16 = static_cast<uint16_t>(std::min(row.limit, 65535));
  const __m512i limit = _mm512_set1_epi16(static_cast<int16_t>(limit16));
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);

  BoundTerm group_terms[kMaxBoundTerms];
  int group_count = 0;
  size_t maxima = 0;
  if (row.groups != nullptr) {
    group_count = GroupTerms(*row.runs, *row.groups, row.cy, row.radius, group_terms);
    maxima = 3 * static_cast<size_t>(row.groups->stride());
  }
  const int end = row.x0 + row.count;
  const int first = row.x0 / kGroup, last = (end - 1) / kGroup;
  int found = 0;
  for (int block = first / 32 * 32; block <= last; block += 32) {
    // The live groups of this block of 32, as bits.
    uint32_t live = ~uint32_t{0};
    if (row.groups != nullptr)
      live = _mm512_cmple_epu16_mask(
          GroupBounds32(group_terms, group_count, maxima, static_cast<size_t>(block)), limit);
    if (block < first) live &= ~uint32_t{0} << (first - block);
    if (last - block < 31) live &= (uint32_t{2} << (last - block)) - 1;
    // Pairs of groups (32 centres) with a live group, by their first
    // group's bit.
    for (uint32_t pairs = (live | live >> 1) & 0x55555555u; pairs != 0; pairs &= pairs - 1) {
      const int g = __builtin_ctz(pairs);
      const int x = (block + g) * kGroup;  // the pair's first column
      const __mmask32 in = LiveLanes(live >> g, x, row.x0, end);
      __m512i acc = _mm512_setzero_si512();
      for (int t = 0; t < n; ++t) {
        const __m512i run = Run32(terms[t], static_cast<size_t>(x), in);
        acc = _mm512_adds_epu16(acc, _mm512_sub_epi16(_mm512_max_epu16(targets[t], run),
                                                      _mm512_min_epu16(targets[t], run)));
      }
      // Candidate k of the row is column x0 + k: lane j is k = x - x0 + j.
      const int k = x - row.x0;
      __mmask32 pass = _mm512_mask_cmple_epu16_mask(in, acc, limit);
      pass = _mm256_mask_cmpeq_epi8_mask(pass, _mm256_maskz_loadu_epi8(pass, row.blocked + k),
                                         _mm256_setzero_si256());
      for (int half = 0; half < 2; ++half) {
        const int at = k + 16 * half;
        __mmask16 h = static_cast<__mmask16>(pass >> (16 * half));
        h = _mm512_mask_cmpeq_epi32_mask(h, _mm512_maskz_loadu_epi32(h, row.unknown + at),
                                         _mm512_setzero_si512());
        const __m512i bounds = _mm512_cvtepu16_epi32(half ? _mm512_extracti64x4_epi64(acc, 1)
                                                          : _mm512_castsi512_si256(acc));
        _mm512_mask_storeu_epi32(lower + at, h, bounds);
        const int passed = __builtin_popcount(h);
        _mm512_mask_storeu_epi32(
            picks + found, static_cast<__mmask16>((1u << passed) - 1),
            _mm512_maskz_compress_epi32(h, _mm512_add_epi32(lanes, _mm512_set1_epi32(at))));
        found += passed;
      }
    }
  }
  return found;
}

}  // namespace pw
#endif
