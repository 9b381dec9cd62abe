#include "fill/cpu/bound_picks.h"

#include <algorithm>

#include "fill/cpu/bound_terms.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/pick_lanes.h"
#endif

namespace pw {

namespace {

constexpr int kGroup = BoxGroupRanges::kGroup;

int32_t CentreBound(const BoundTerm* terms, int n, size_t x) {
  int32_t sum = 0;
  for (int t = 0; t < n; ++t) {
    const int32_t d = terms[t].target - TermRun(terms[t], x);
    sum += d < 0 ? -d : d;
  }
  return std::min(sum, 65535);
}

// Picks the centres x0 + k for k in [k0, k1) one by one.
int PickSingles(const BoundPickRow& row, const BoundTerm* terms, int n, int k0, int k1,
                int32_t* picks, int32_t* lower) {
  int found = 0;
  for (int k = k0; k < k1; ++k) {
    if ((row.blocked[k] | row.unknown[k]) != 0) continue;
    const int32_t bound = CentreBound(terms, n, static_cast<size_t>(row.x0 + k));
    if (bound > row.limit) continue;
    lower[k] = bound;
    picks[found++] = k;
  }
  return found;
}

// The first and one past the last candidate of group g.
inline void GroupSpan(const BoundPickRow& row, int g, int* k0, int* k1) {
  *k0 = std::max(g * kGroup, row.x0) - row.x0;
  *k1 = std::min((g + 1) * kGroup, row.x0 + row.count) - row.x0;
}

// The groups of the row in block [block, block + 32) whose group bound
// (by `group_bounds`) is not above the limit, in order, into `live`; every
// group of the row there without ranges. Returns how many.
int LiveGroups(const BoundPickRow& row, GroupBoundsFn group_bounds, int block, int* live) {
  const int first = std::max(block, row.x0 / kGroup);
  const int last = std::min(block + 31, (row.x0 + row.count - 1) / kGroup);
  uint16_t bounds[32];
  if (row.groups != nullptr)
    group_bounds(*row.runs, *row.groups, row.cy, row.radius, block, 32, bounds);
  int n = 0;
  for (int g = first; g <= last; ++g)
    if (row.groups == nullptr || bounds[g - block] <= row.limit) live[n++] = g;
  return n;
}

// The blocks of 32 groups that hold the row's centres: [*begin, *end).
inline void GroupBlocks(const BoundPickRow& row, int* begin, int* end) {
  *begin = row.x0 / kGroup / 32 * 32;
  *end = (row.x0 + row.count - 1) / kGroup + 1;
}

}  // namespace

void GroupBoundsScalar(const RowRunBound& rb, const BoxGroupRanges& groups, int cy, int radius,
                       int g0, int n, uint16_t* out) {
  BoundTerm terms[kMaxBoundTerms];
  const int count = GroupTerms(rb, groups, cy, radius, terms);
  const size_t maxima = 3 * static_cast<size_t>(groups.stride());
  for (int k = 0; k < n; ++k) {
    const size_t g = static_cast<size_t>(g0 + k);
    int32_t sum = 0;
    for (int t = 0; t < count; ++t) {
      const int32_t low = TermRun(terms[t], g), high = TermRun(terms[t], g + maxima);
      sum += std::max(0, low - terms[t].target) + std::max(0, terms[t].target - high);
    }
    out[k] = static_cast<uint16_t>(std::min(sum, 65535));
  }
}

int BoundPicksScalar(const BoundPickRow& row, int32_t* picks, int32_t* lower) {
  BoundTerm terms[kMaxBoundTerms];
  const int n = CentreTerms(*row.runs, *row.sums, row.cy, row.radius, terms);
  int found = 0, begin, end, live[32];
  GroupBlocks(row, &begin, &end);
  for (int block = begin; block < end; block += 32) {
    const int groups = LiveGroups(row, GroupBoundsScalar, block, live);
    for (int i = 0; i < groups; ++i) {
      int k0, k1;
      GroupSpan(row, live[i], &k0, &k1);
      found += PickSingles(row, terms, n, k0, k1, picks + found, lower);
    }
  }
  return found;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

__attribute__((target("avx2"))) inline __m256i Load16(const uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// 16 values of a term's run from index i on.
__attribute__((target("avx2"))) inline __m256i Run16(const BoundTerm& t, size_t i) {
  __m256i run = _mm256_sub_epi16(Load16(t.hq + i), Load16(t.lq + i));
  if (!t.one_block)
    run = _mm256_add_epi16(run, _mm256_sub_epi16(Load16(t.hp + i), Load16(t.lp + i)));
  return run;
}

// Bits of the 16-bit lanes of v that are all ones.
__attribute__((target("avx2"))) inline int LaneBits16(__m256i v) {
  return _mm_movemask_epi8(
      _mm_packs_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

}  // namespace

__attribute__((target("avx2"))) void GroupBoundsAvx2(const RowRunBound& rb,
                                                     const BoxGroupRanges& groups, int cy,
                                                     int radius, int g0, int n, uint16_t* out) {
  BoundTerm terms[kMaxBoundTerms];
  const int count = GroupTerms(rb, groups, cy, radius, terms);
  const size_t maxima = 3 * static_cast<size_t>(groups.stride());
  for (int k = 0; k < n; k += 16) {
    const size_t g = static_cast<size_t>(g0 + k);
    __m256i acc = _mm256_setzero_si256();
    for (int t = 0; t < count; ++t) {
      // The target's distance to [low, high]: at most one side is positive.
      const __m256i target = _mm256_set1_epi16(static_cast<int16_t>(terms[t].target));
      acc = _mm256_adds_epu16(acc, _mm256_subs_epu16(Run16(terms[t], g), target));
      acc = _mm256_adds_epu16(acc, _mm256_subs_epu16(target, Run16(terms[t], g + maxima)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), acc);
  }
}

__attribute__((target("avx2"))) int BoundPicksAvx2(const BoundPickRow& row, int32_t* picks,
                                                   int32_t* lower) {
  BoundTerm terms[kMaxBoundTerms];
  const int n = CentreTerms(*row.runs, *row.sums, row.cy, row.radius, terms);
  __m256i targets[kMaxBoundTerms];
  for (int t = 0; t < n; ++t)
    targets[t] = _mm256_set1_epi16(static_cast<int16_t>(terms[t].target));
  const __m256i limit = _mm256_set1_epi16(static_cast<int16_t>(std::min(row.limit, 65535)));
  int found = 0, begin, end, live[32];
  GroupBlocks(row, &begin, &end);
  for (int block = begin; block < end; block += 32) {
    const int groups = LiveGroups(row, GroupBoundsAvx2, block, live);
    for (int i = 0; i < groups; ++i) {
      const int g = live[i];
      int k0, k1;
      GroupSpan(row, g, &k0, &k1);
      if (k1 - k0 < kGroup) {  // a group cut by the row's ends
        found += PickSingles(row, terms, n, k0, k1, picks + found, lower);
        continue;
      }
      const size_t x = static_cast<size_t>(g) * kGroup;
      __m256i acc = _mm256_setzero_si256();
      for (int t = 0; t < n; ++t) {
        const __m256i run = Run16(terms[t], x);
        acc = _mm256_adds_epu16(acc, _mm256_sub_epi16(_mm256_max_epu16(targets[t], run),
                                                      _mm256_min_epu16(targets[t], run)));
      }
      const __m256i below = _mm256_cmpeq_epi16(_mm256_min_epu16(acc, limit), acc);
      const __m128i centre =
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row.blocked + k0)),
                         _mm_setzero_si128());
      const __m256i zero = _mm256_setzero_si256();
      const int known =
          _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row.unknown + k0)), zero))) |
          _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row.unknown + k0 + 8)),
              zero)))
              << 8;
      const int bits = LaneBits16(below) & _mm_movemask_epi8(centre) & known;
      // Bounds of the whole group: the picks' among them.
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lower + k0),
                          _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lower + k0 + 8),
                          _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1)));
      found += pick_lanes::PutLanes(k0, bits & 0xFF, picks + found);
      found += pick_lanes::PutLanes(k0 + 8, bits >> 8, picks + found);
    }
  }
  return found;
}
#endif

BoundPicksFn SelectBoundPicks(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return BoundPicksAvx512;
  if (level != SimdLevel::Scalar) return BoundPicksAvx2;
#else
  (void)level;
#endif
  return BoundPicksScalar;
}

GroupBoundsFn SelectGroupBounds(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return GroupBoundsAvx512;
  if (level != SimdLevel::Scalar) return GroupBoundsAvx2;
#else
  (void)level;
#endif
  return GroupBoundsScalar;
}

}  // namespace pw
