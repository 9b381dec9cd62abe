// AVX2 sums of absolute differences: the candidate's bytes masked by the
// keep bytes against the target's bytes (0 where not known), summed by
// vpsadbw. Exact integer sums, equal to the scalar path's.
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

__attribute__((target("avx2"))) inline __m256i PieceSad(
    const TargetWindow& target, const uint8_t* candidate, size_t i) {
  const __m256i t =
      _mm256_load_si256(reinterpret_cast<const __m256i*>(target.pieces32() + 32 * i));
  const __m256i keep =
      _mm256_load_si256(reinterpret_cast<const __m256i*>(target.keep32() + 32 * i));
  const __m256i c = _mm256_loadu_si256(
      reinterpret_cast<const __m256i*>(candidate + target.offsets32()[i]));
  return _mm256_sad_epu8(t, _mm256_and_si256(c, keep));
}

// The window's 32-byte pieces, two at a time into two sums. The bound is
// tested after every eight rows and at the end: a horizontal sum costs more
// than a row, and most candidates that reach this point run to the last
// rows anyway.
__attribute__((target("avx2"))) inline int32_t Sad(const TargetWindow& target,
                                                   const uint8_t* candidate,
                                                   int32_t bound) {
  const size_t n = target.count32();
  const size_t per_check = 8 * static_cast<size_t>(target.pieces32_per_row());
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
  size_t i = 0;
  while (i + per_check <= n) {
    for (const size_t end = i + per_check; i < end; i += 2) {
      a0 = _mm256_add_epi64(a0, PieceSad(target, candidate, i));
      a1 = _mm256_add_epi64(a1, PieceSad(target, candidate, i + 1));
    }
    if (HorizontalSum(_mm256_add_epi64(a0, a1)) > bound) return kSadDropped;
  }
  for (; i < n; ++i) a0 = _mm256_add_epi64(a0, PieceSad(target, candidate, i));
  const int32_t sum = HorizontalSum(_mm256_add_epi64(a0, a1));
  return sum > bound ? kSadDropped : sum;
}

__attribute__((target("avx2"))) void Scan(const TargetWindow& target,
                                          const CandidateRow& row,
                                          std::atomic<int32_t>& bound,
                                          SlotMinimum& slots) {
  for (int c = 0; c < row.count; ++c) {
    if ((row.mask[c] | row.unknown[c]) != 0) continue;
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
