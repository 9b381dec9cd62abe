// AVX2 sums of absolute differences, summed by vpsadbw: the target's bytes
// against the candidate's, masked by the keep bytes where a piece holds a
// position not compared. Exact integer sums, equal to the scalar path's.
#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

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

// The pieces over known pixels only, then those with a keep mask, then the
// short row tails two to a vector. The bound is tested after every 8 plain
// pieces (8 rows of a window of radius 7 without their tails) and at the
// end: a horizontal sum costs more than a piece.
__attribute__((target("avx2"))) inline int32_t Sad(const TargetWindow& target,
                                                   const uint8_t* candidate,
                                                   int32_t bound) {
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
  const size_t plain = target.plain_count();
  const uint8_t* bytes = target.plain_bytes();
  const int32_t* offsets = target.plain_offsets();
  size_t i = 0;
  for (; i + 8 <= plain; i += 8) {
    for (size_t j = i; j < i + 8; j += 2) {
      a0 = _mm256_add_epi64(a0, _mm256_sad_epu8(Load(bytes + 32 * j),
                                                LoadU(candidate + offsets[j])));
      a1 = _mm256_add_epi64(a1, _mm256_sad_epu8(Load(bytes + 32 * j + 32),
                                                LoadU(candidate + offsets[j + 1])));
    }
    if (HorizontalSum(_mm256_add_epi64(a0, a1)) > bound) return kSadDropped;
  }
  for (; i < plain; ++i)
    a0 = _mm256_add_epi64(a0, _mm256_sad_epu8(Load(bytes + 32 * i),
                                              LoadU(candidate + offsets[i])));
  bytes = target.masked_bytes();
  const uint8_t* keep = target.masked_keep();
  offsets = target.masked_offsets();
  for (size_t j = 0, n = target.masked_count(); j < n; ++j) {
    const __m256i c = _mm256_and_si256(LoadU(candidate + offsets[j]), Load(keep + 32 * j));
    a1 = _mm256_add_epi64(a1, _mm256_sad_epu8(Load(bytes + 32 * j), c));
  }
  bytes = target.paired_bytes();
  keep = target.paired_keep();
  offsets = target.paired_offsets();
  for (size_t j = 0, n = target.paired_count(); j < n; ++j) {
    const __m128i lo = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(candidate + offsets[2 * j]));
    const __m128i hi = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(candidate + offsets[2 * j + 1]));
    const __m256i c = _mm256_and_si256(
        _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), Load(keep + 32 * j));
    a0 = _mm256_add_epi64(a0, _mm256_sad_epu8(Load(bytes + 32 * j), c));
  }
  const int32_t sum = HorizontalSum(_mm256_add_epi64(a0, a1));
  return sum > bound ? kSadDropped : sum;
}

__attribute__((target("avx2"))) void Scan(const TargetWindow& target,
                                          const CandidateRow& row,
                                          std::atomic<int32_t>& bound,
                                          SlotMinimum& slots) {
  for (int n = 0; n < row.picked; ++n) {
    const int c = row.picks[n];
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[c] > limit) continue;
    const int32_t sum = Sad(target, row.top_left + 3 * c, limit);
    if (sum == kSadDropped) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + c, static_cast<float>(sum));
  }
}

}  // namespace

__attribute__((target("avx2"))) int32_t WindowSadAvx2(
    const TargetWindow& target, const uint8_t* candidate, int stride,
    int32_t bound) {
  (void)stride;  // the pieces hold the offsets of the captured stride
  return Sad(target, candidate, bound);
}

void ScanRowAvx2(const TargetWindow& target, const CandidateRow& row,
                 std::atomic<int32_t>& bound, SlotMinimum& slots) {
  Scan(target, row, bound, slots);
}

}  // namespace pw
#endif
