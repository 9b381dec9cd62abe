// AVX2 sums of absolute differences, summed by vpsadbw: the target's bytes
// against the candidate's, masked by the keep bytes where a piece holds a
// position not compared. Exact integer sums, equal to the scalar path's.
#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <algorithm>
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

// Windows of up to 16 pixels a row (48 bytes) get a kernel per count of
// known rows, fully unrolled: the target's rows are held over a row of
// candidates with their keep bytes, and two accumulators keep the adds
// independent. Rows of up to 10 pixels are one 32-byte vector each
// (kTail = 0); longer ones a 32-byte body and a tail of up to 16 bytes,
// the tails of two rows in one vector. The candidate's row is read whole,
// up to 31 bytes past its end. The last kOwn rows keep their own keep
// bytes; the rows before them are whole (every pixel known): their keep
// bytes are the first row's, and a 32-byte body of a longer whole row
// needs none.
template <int kRows, bool kTail, int kOwn = kRows>
struct Rows {
  static_assert(kRows >= 1 && kRows <= 16, "rows");
  static_assert(kOwn >= 0 && kOwn <= kRows, "rows with keep bytes of their own");
  static constexpr int kShared = kRows - kOwn;
  alignas(32) uint8_t bytes[kRows][32];
  alignas(32) uint8_t keep[kRows][32];
  // The tails of rows i and i + 1 (i of either parity) in one vector.
  alignas(32) uint8_t tail_bytes[kRows][32];
  alignas(32) uint8_t tail_keep[kRows][32];
  int32_t at[kRows + 1];

  __attribute__((target("avx2"))) explicit Rows(const TargetWindow& target) {
    for (int i = 0; i < kRows; ++i) {
      const uint8_t* t = target.pieces64() + 64 * i;
      const uint8_t* k = target.keep(target.rows()[i]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(bytes[i]), Load(t));
      _mm256_store_si256(reinterpret_cast<__m256i*>(keep[i]), LoadU(k));
      at[i] = target.offsets64()[i];
      if (!kTail) continue;
      for (int half = 0; half < 2; ++half) {
        // Row i's tail in the low half of pair i, and in the high half of
        // pair i - 1. A lone last tail pairs with zeros.
        const int pair = i - half;
        if (pair < 0) continue;
        std::copy(t + 32, t + 48, tail_bytes[pair] + 16 * half);
        std::copy(k + 32, k + 48, tail_keep[pair] + 16 * half);
      }
    }
    if (kTail) {
      std::fill(tail_bytes[kRows - 1] + 16, tail_bytes[kRows - 1] + 32, 0);
      std::fill(tail_keep[kRows - 1] + 16, tail_keep[kRows - 1] + 32, 0);
    }
    at[kRows] = at[kRows - 1];  // the partner of a lone tail: read, kept out
  }

  // The sum over rows kBegin .. kEnd - 1 of the candidate whose window
  // starts at c, as four partial sums in 64-bit lanes.
  template <int kBegin, int kEnd>
  __attribute__((target("avx2"))) __m256i Part(const uint8_t* c) const {
    __m256i a[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    const __m256i whole = Load(keep[0]), whole_tails = Load(tail_keep[0]);
#pragma GCC unroll 16
    for (int i = kBegin; i < kEnd; ++i) {
      const __m256i cand = LoadU(c + at[i]);
      const __m256i kept = i >= kShared ? _mm256_and_si256(cand, Load(keep[i]))
                           : kTail      ? cand
                                        : _mm256_and_si256(cand, whole);
      a[i % 2] = _mm256_add_epi64(a[i % 2], _mm256_sad_epu8(Load(bytes[i]), kept));
    }
    if constexpr (kTail) {
#pragma GCC unroll 8
      for (int i = kBegin; i < kEnd; i += 2) {
        // A lone last tail (an odd count) keeps the low half only.
        const int j = i + 1 < kEnd ? i + 1 : kRows;
        const __m256i cand = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + at[i] + 32))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + at[j] + 32)), 1);
        const bool two = i + 1 < kEnd;
        const __m256i t = two ? Load(tail_bytes[i]) : LowHalf(tail_bytes[i]);
        const __m256i kept = !two ? LowHalf(tail_keep[i])
                             : i + 1 < kShared ? whole_tails
                                               : Load(tail_keep[i]);
        a[i / 2 % 2] =
            _mm256_add_epi64(a[i / 2 % 2], _mm256_sad_epu8(t, _mm256_and_si256(cand, kept)));
      }
    }
    return _mm256_add_epi64(a[0], a[1]);
  }

  __attribute__((target("avx2"))) int32_t Sum(const uint8_t* c) const {
    return HorizontalSum(Part<0, kRows>(c));
  }

 private:
  static __attribute__((target("avx2"))) __m256i LowHalf(const uint8_t* p) {
    return _mm256_inserti128_si256(_mm256_setzero_si256(),
                                   _mm_load_si128(reinterpret_cast<const __m128i*>(p)), 0);
  }
};

template <int kRows, bool kHalves, int kOwn>
__attribute__((target("avx2"))) void ScanFixed(const TargetWindow& target,
                                               const CandidateRow& row,
                                               std::atomic<int32_t>& bound,
                                               SlotMinimum& slots) {
  const Rows<kRows, kHalves, kOwn> rows(target);
  for (int n = 0; n < row.picked; ++n) {
    const int col = row.picks[n];
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[col] > limit) continue;
    const int32_t sum = rows.Sum(row.top_left + 3 * col);
    if (sum > limit) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + col, static_cast<float>(sum));
  }
}

// Eight candidates' partial sums (four 64-bit lanes each, below 2^32) as
// eight 32-bit sums, in order: two candidates to a 64-bit lane, then the
// lanes added across.
__attribute__((target("avx2"))) inline __m256i PairSums(__m256i low, __m256i high) {
  return _mm256_or_si256(low, _mm256_slli_epi64(high, 32));
}

__attribute__((target("avx2"))) inline __m256i EightSums(const __m256i* a) {
  const __m256i b01 = PairSums(a[0], a[1]), b23 = PairSums(a[2], a[3]);
  const __m256i b45 = PairSums(a[4], a[5]), b67 = PairSums(a[6], a[7]);
  const __m256i x =
      _mm256_add_epi64(_mm256_unpacklo_epi64(b01, b23), _mm256_unpackhi_epi64(b01, b23));
  const __m256i y =
      _mm256_add_epi64(_mm256_unpacklo_epi64(b45, b67), _mm256_unpackhi_epi64(b45, b67));
  return _mm256_add_epi64(_mm256_permute2x128_si256(x, y, 0x20),
                          _mm256_permute2x128_si256(x, y, 0x31));
}

// As on AVX-512 (see window_sad_avx512.cpp): the fullest kFirst rows are
// summed first for eight picked candidates at once and compared in one
// vector; only the candidates still not above the bound get the other
// rows, in a second pass. Survivors are packed without a branch on any
// single candidate. A sum only grows, so each one left out could not have
// won or tied.
template <int kRows, int kFirst, bool kHalves, int kOwn>
__attribute__((target("avx2"))) void ScanStaged(const TargetWindow& target,
                                                const CandidateRow& row,
                                                std::atomic<int32_t>& bound,
                                                SlotMinimum& slots) {
  constexpr int kSegment = 256;  // picks per pass, lists on the stack
  const Rows<kRows, kHalves, kOwn> rows(target);
  alignas(32) int32_t firsts[8];
  int32_t kept_cols[kSegment + 8];
  int32_t kept_firsts[kSegment + 8];
  int32_t tested = 0, passed = 0;
  for (int begin = 0; begin < row.picked; begin += kSegment) {
    const int end = std::min(row.picked, begin + kSegment);
    const __m256i limits = _mm256_set1_epi32(bound.load(std::memory_order_relaxed));
    int kept = 0;
    for (int n = begin; n < end; n += 8) {
      const int valid = std::min(8, end - n);
      __m256i parts[8];
      for (int j = 0; j < 8; ++j)
        // Lanes past the last pick take the last one again.
        parts[j] = rows.template Part<0, kFirst>(
            row.top_left + 3 * row.picks[n + std::min(j, valid - 1)]);
      const __m256i sums = EightSums(parts);
      const __m256i over = _mm256_cmpgt_epi32(sums, limits);
      _mm256_store_si256(reinterpret_cast<__m256i*>(firsts), sums);
      const unsigned pass =
          ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(over))) &
          ((1u << valid) - 1);
      for (int j = 0; j < 8; ++j) {
        kept_cols[kept] = row.picks[n + std::min(j, valid - 1)];
        kept_firsts[kept] = firsts[j];
        kept += static_cast<int>((pass >> j) & 1);
      }
    }
    tested += end - begin;
    passed += kept;
    for (int m = 0; m < kept; ++m) {
      const int c = kept_cols[m];
      const int32_t limit = bound.load(std::memory_order_relaxed);
      if (row.lower != nullptr && row.lower[c] > limit) continue;
      const int32_t sum = kept_firsts[m] +
                          HorizontalSum(rows.template Part<kFirst, kRows>(row.top_left + 3 * c));
      if (sum > limit) continue;
      LowerBound(bound, sum);
      slots.Offer(row.first_index + c, static_cast<float>(sum));
    }
  }
  if (row.tally != nullptr) {
    row.tally->tested += tested;
    row.tally->passed += passed;
  }
}

// Whole sums or first rows apart, as the search's tally says (SumsWhole).
template <int kRows, int kFirst, bool kHalves, int kOwn>
__attribute__((target("avx2"))) void ScanChoosing(const TargetWindow& target,
                                                  const CandidateRow& row,
                                                  std::atomic<int32_t>& bound,
                                                  SlotMinimum& slots) {
  if (SumsWhole(row.tally)) return ScanFixed<kRows, kHalves, kOwn>(target, row, bound, slots);
  ScanStaged<kRows, kFirst, kHalves, kOwn>(target, row, bound, slots);
}

constexpr int kFirstRows = 3;
template <int kRows, bool kHalves, int kOwn>
constexpr RowScanFn FixedScan() {
  if constexpr (kRows > kFirstRows + 1)
    return ScanChoosing<kRows, kFirstRows, kHalves, kOwn>;
  else
    return ScanFixed<kRows, kHalves, kOwn>;
}

// The scans of kRows rows by how many of them are not whole: at most 2,
// 4, 8, or any.
constexpr int kOwnBins = 4;
using OwnScans = std::array<RowScanFn, kOwnBins>;
inline int OwnBin(const TargetWindow& target) {
  const int own = static_cast<int>(target.rows().size()) - target.whole_rows();
  return own <= 2 ? 0 : own <= 4 ? 1 : own <= 8 ? 2 : 3;
}

template <int kRows, bool kHalves>
constexpr OwnScans ScansByOwn() {
  return {FixedScan<kRows, kHalves, std::min(kRows, 2)>(),
          FixedScan<kRows, kHalves, std::min(kRows, 4)>(),
          FixedScan<kRows, kHalves, std::min(kRows, 8)>(), FixedScan<kRows, kHalves, kRows>()};
}

template <bool kHalves, int... kRows>
constexpr std::array<OwnScans, sizeof...(kRows) + 1> FixedScans(
    std::integer_sequence<int, kRows...>) {
  return {OwnScans{Scan, Scan, Scan, Scan}, ScansByOwn<kRows + 1, kHalves>()...};
}

// Rows of up to 32 bytes hold at most 10 pixels, rows of up to 48 at most 16.
constexpr auto kNarrowScans = FixedScans<false>(std::make_integer_sequence<int, 10>());
constexpr auto kWideScans = FixedScans<true>(std::make_integer_sequence<int, 16>());

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
  // Rows of up to 64 bytes are one piece each in the 64-byte list.
  const size_t rows = target.pieces64_per_row() == 1 ? target.count64() : 0;
  if (target.padded() <= 32)
    kNarrowScans[rows][OwnBin(target)](target, row, bound, slots);
  else if (target.side() <= 16)
    kWideScans[rows][OwnBin(target)](target, row, bound, slots);
  else
    Scan(target, row, bound, slots);
}

}  // namespace pw
#endif
