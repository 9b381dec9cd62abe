// AVX-512BW sums of absolute differences: a window row of up to 21 pixels
// is one 64-byte piece. The candidate's bytes are loaded under the piece's
// keep bits (unknown positions read as 0, as the target holds them, and are
// never touched in memory), and vpsadbw sums |t - c|. Exact integer sums,
// equal to the scalar path's.
#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

namespace pw {

namespace {

PW_AVX512 inline int32_t HorizontalSum(__m512i v) {
  const __m512i high = _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256i s4 = _mm512_castsi512_si256(_mm512_add_epi64(v, high));
  const __m128i s2 = _mm_add_epi64(_mm256_castsi256_si128(s4),
                                   _mm256_extracti128_si256(s4, 1));
  return static_cast<int32_t>(_mm_cvtsi128_si64(s2) +
                              _mm_cvtsi128_si64(_mm_unpackhi_epi64(s2, s2)));
}

PW_AVX512 inline __m512i PieceSad(const TargetWindow& target,
                                  const uint8_t* candidate, size_t i) {
  const __m512i t = _mm512_load_si512(target.pieces64() + 64 * i);
  const __m512i c =
      _mm512_maskz_loadu_epi8(target.keep64()[i], candidate + target.offsets64()[i]);
  return _mm512_sad_epu8(t, c);
}

// The window's 64-byte pieces, two at a time into two sums. The bound is
// tested after every eight rows and at the end: a horizontal sum costs more
// than a row, and most candidates that reach this point run to the last
// rows anyway.
PW_AVX512 inline int32_t Sad(const TargetWindow& target,
                             const uint8_t* candidate, int32_t bound) {
  const size_t n = target.count64();
  const size_t per_check = 8 * static_cast<size_t>(target.pieces64_per_row());
  __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
  size_t i = 0;
  while (i + per_check <= n) {
    for (const size_t end = i + per_check; i < end; i += 2) {
      a0 = _mm512_add_epi64(a0, PieceSad(target, candidate, i));
      a1 = _mm512_add_epi64(a1, PieceSad(target, candidate, i + 1));
    }
    if (HorizontalSum(_mm512_add_epi64(a0, a1)) > bound) return kSadDropped;
  }
  for (; i < n; ++i) a0 = _mm512_add_epi64(a0, PieceSad(target, candidate, i));
  const int32_t sum = HorizontalSum(_mm512_add_epi64(a0, a1));
  return sum > bound ? kSadDropped : sum;
}

PW_AVX512 void Scan(const TargetWindow& target, const CandidateRow& row,
                    std::atomic<int32_t>& bound, SlotMinimum& slots) {
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

PW_AVX512 int32_t WindowSadAvx512(const TargetWindow& target,
                                  const uint8_t* candidate, int stride,
                                  int32_t bound) {
  (void)stride;  // the pieces hold the offsets of the captured stride
  return Sad(target, candidate, bound);
}

void ScanRowAvx512(const TargetWindow& target, const CandidateRow& row,
                   std::atomic<int32_t>& bound, SlotMinimum& slots) {
  Scan(target, row, bound, slots);
}

}  // namespace pw
#endif
