// AVX2 sums of absolute differences, summed by vpsadbw: the target's bytes
// against the candidate's, masked by the keep bytes where a piece holds a
// position not compared. Exact integer sums, equal to the scalar path's.
#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <array>
#include <utility>

namespace pw {

namespace {

__attribute__((target("avx2"))) inline int32_t HorizontalSum(__m256i v) {
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v),
                                  _mm256_extracti128_si256(v, 1));
  return static_cast<int32_t>(_mm_cvtsi128_si64(s) +
                              _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
}

__attribute__((target("avx2"))) inline __m256i Load(const uint8_t* p) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline __m256i LoadU(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The sums of N candidates at once (their windows' top-left bytes in
// `candidates`), which share the loads of the target's pieces: the pieces
// over known pixels only, then those with a keep mask, then the short row
// tails two to a vector. Each candidate sums into two accumulators, for
// instruction-level parallelism when N is 1. The bound is tested after
// every 8 plain pieces (8 rows of a window of radius 7 without their
// tails) and at the end: a horizontal sum costs more than a piece. A sum
// above the bound comes back as kSadDropped.
template <int N>
__attribute__((target("avx2"))) inline void Sads(const TargetWindow& target,
                                                 const uint8_t* const* candidates,
                                                 int32_t bound, int32_t* sums) {
  __m256i acc[N][2];
  for (int k = 0; k < N; ++k) acc[k][0] = acc[k][1] = _mm256_setzero_si256();
  const size_t plain = target.plain_count();
  const uint8_t* bytes = target.plain_bytes();
  const int32_t* offsets = target.plain_offsets();
  size_t i = 0;
  for (; i + 8 <= plain; i += 8) {
    for (size_t j = i; j < i + 8; j += 2) {
      const __m256i t0 = Load(bytes + 32 * j), t1 = Load(bytes + 32 * j + 32);
      for (int k = 0; k < N; ++k) {
        acc[k][0] = _mm256_add_epi64(
            acc[k][0], _mm256_sad_epu8(t0, LoadU(candidates[k] + offsets[j])));
        acc[k][1] = _mm256_add_epi64(
            acc[k][1], _mm256_sad_epu8(t1, LoadU(candidates[k] + offsets[j + 1])));
      }
    }
    bool all_over = true;
    for (int k = 0; k < N; ++k)
      all_over = all_over && HorizontalSum(_mm256_add_epi64(acc[k][0], acc[k][1])) > bound;
    if (all_over) {
      for (int k = 0; k < N; ++k) sums[k] = kSadDropped;
      return;
    }
  }
  for (; i < plain; ++i) {
    const __m256i t = Load(bytes + 32 * i);
    for (int k = 0; k < N; ++k)
      acc[k][0] = _mm256_add_epi64(acc[k][0],
                                   _mm256_sad_epu8(t, LoadU(candidates[k] + offsets[i])));
  }
  bytes = target.masked_bytes();
  const uint8_t* keep = target.masked_keep();
  offsets = target.masked_offsets();
  for (size_t j = 0, n = target.masked_count(); j < n; ++j) {
    const __m256i t = Load(bytes + 32 * j), kept = Load(keep + 32 * j);
    for (int k = 0; k < N; ++k)
      acc[k][1] = _mm256_add_epi64(
          acc[k][1],
          _mm256_sad_epu8(t, _mm256_and_si256(LoadU(candidates[k] + offsets[j]), kept)));
  }
  bytes = target.paired_bytes();
  keep = target.paired_keep();
  offsets = target.paired_offsets();
  for (size_t j = 0, n = target.paired_count(); j < n; ++j) {
    const __m256i t = Load(bytes + 32 * j), kept = Load(keep + 32 * j);
    for (int k = 0; k < N; ++k) {
      const __m128i lo = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(candidates[k] + offsets[2 * j]));
      const __m128i hi = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(candidates[k] + offsets[2 * j + 1]));
      const __m256i c = _mm256_and_si256(
          _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), kept);
      acc[k][0] = _mm256_add_epi64(acc[k][0], _mm256_sad_epu8(t, c));
    }
  }
  for (int k = 0; k < N; ++k) {
    const int32_t sum = HorizontalSum(_mm256_add_epi64(acc[k][0], acc[k][1]));
    sums[k] = sum > bound ? kSadDropped : sum;
  }
}

// Candidates go two at a time: the second's bound check and sum use the
// limit from before the first's sum, which only lets it run a little
// longer. Offers stay in the order of the picks.
__attribute__((target("avx2"))) void Scan(const TargetWindow& target,
                                          const CandidateRow& row,
                                          std::atomic<int32_t>& bound,
                                          SlotMinimum& slots) {
  auto passes = [&](int c, int32_t limit) {
    return row.lower == nullptr || row.lower[c] <= limit;
  };
  for (int n = 0; n < row.picked;) {
    const int32_t limit = bound.load(std::memory_order_relaxed);
    int pair[2], found = 0;
    for (; n < row.picked && found < 2; ++n)
      if (passes(row.picks[n], limit)) pair[found++] = row.picks[n];
    if (found == 0) break;
    const uint8_t* candidates[2] = {row.top_left + 3 * pair[0],
                                    row.top_left + 3 * pair[found - 1]};
    int32_t sums[2];
    if (found == 2)
      Sads<2>(target, candidates, limit, sums);
    else
      Sads<1>(target, candidates, limit, sums);
    for (int k = 0; k < found; ++k) {
      if (sums[k] == kSadDropped) continue;
      LowerBound(bound, sums[k]);
      slots.Offer(row.first_index + pair[k], static_cast<float>(sums[k]));
    }
  }
}

// Windows of up to 10 pixels a row (32 bytes) and up to 10 known rows get
// a kernel per row count, fully unrolled, with the target's rows in
// registers over a row of candidates (each in a variable of its own, which
// compilers keep in registers) and their keep bytes beside them in memory.
// The candidate's row is read whole, up to 29 bytes past its end.
#define PW_EACH_ROW(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9)
#define PW_ROW_CAPTURE(i)                                                       \
  const __m256i t##i = i < kRows ? LoadU(target.bytes(target.rows()[i]))        \
                                 : _mm256_setzero_si256();                      \
  const int32_t at##i = i < kRows ? target.offsets64()[i] : 0;                  \
  if (i < kRows)                                                                \
    _mm256_store_si256(reinterpret_cast<__m256i*>(keep[i]),                    \
                       LoadU(target.keep(target.rows()[i])));
#define PW_ROW_SAD(i)                                                              \
  if (i < kRows)                                                                   \
    (i % 2 == 0 ? a0 : a1) = _mm256_add_epi64(                                     \
        i % 2 == 0 ? a0 : a1,                                                      \
        _mm256_sad_epu8(t##i, _mm256_and_si256(LoadU(c + at##i), Load(keep[i]))));

template <int kRows>
__attribute__((target("avx2"))) void ScanFixed(const TargetWindow& target,
                                               const CandidateRow& row,
                                               std::atomic<int32_t>& bound,
                                               SlotMinimum& slots) {
  static_assert(kRows >= 1 && kRows <= 10, "one variable per row");
  alignas(32) uint8_t keep[kRows][32];
  PW_EACH_ROW(PW_ROW_CAPTURE)
  for (int n = 0; n < row.picked; ++n) {
    const int col = row.picks[n];
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[col] > limit) continue;
    const uint8_t* c = row.top_left + 3 * col;
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    PW_EACH_ROW(PW_ROW_SAD)
    const int32_t sum = HorizontalSum(_mm256_add_epi64(a0, a1));
    if (sum > limit) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + col, static_cast<float>(sum));
  }
}

#undef PW_ROW_SAD
#undef PW_ROW_CAPTURE
#undef PW_EACH_ROW

template <int... kRows>
constexpr std::array<RowScanFn, sizeof...(kRows) + 1> FixedScans(
    std::integer_sequence<int, kRows...>) {
  return {Scan, ScanFixed<kRows + 1>...};
}

constexpr auto kFixedScans = FixedScans(std::make_integer_sequence<int, 10>());

}  // namespace

__attribute__((target("avx2"))) int32_t WindowSadAvx2(
    const TargetWindow& target, const uint8_t* candidate, int stride,
    int32_t bound) {
  (void)stride;  // the pieces hold the offsets of the captured stride
  int32_t sum;
  Sads<1>(target, &candidate, bound, &sum);
  return sum;
}

__attribute__((target("avx2"))) void WindowSadPairAvx2(
    const TargetWindow& target, const uint8_t* first, const uint8_t* second,
    int stride, int32_t bound, int32_t* sums) {
  (void)stride;
  const uint8_t* candidates[2] = {first, second};
  Sads<2>(target, candidates, bound, sums);
}

void ScanRowAvx2(const TargetWindow& target, const CandidateRow& row,
                 std::atomic<int32_t>& bound, SlotMinimum& slots) {
  // Rows of up to 32 bytes are one piece each in the 64-byte list.
  const size_t rows = target.padded() <= 32 ? target.count64() : 0;
  kFixedScans[rows](target, row, bound, slots);
}

}  // namespace pw
#endif
