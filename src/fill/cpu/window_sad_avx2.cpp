// AVX2 sums of absolute differences: |t - c| as max - min per byte, masked
// by the keep bytes, summed by vpsadbw. Exact integer sums, equal to the
// scalar path's.
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

__attribute__((target("avx2"))) inline __m256i RowSad(const uint8_t* t,
                                                      const uint8_t* keep,
                                                      const uint8_t* c) {
  const __m256i tv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t));
  const __m256i kv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep));
  const __m256i cv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c));
  const __m256i diff = _mm256_and_si256(
      _mm256_sub_epi8(_mm256_max_epu8(tv, cv), _mm256_min_epu8(tv, cv)), kv);
  return _mm256_sad_epu8(diff, _mm256_setzero_si256());
}

// Window rows of kVectors * 32 bytes; kVectors = 0 reads the count at run
// time.
template <int kVectors>
__attribute__((target("avx2"))) inline int32_t Sad(const TargetWindow& target,
                                                   const uint8_t* candidate,
                                                   int stride, int32_t bound) {
  const int vectors =
      kVectors > 0 ? kVectors : target.padded() / TargetWindow::kAlign;
  __m256i acc = _mm256_setzero_si256();
  for (int k : target.rows()) {
    const uint8_t* t = target.bytes(k);
    const uint8_t* keep = target.keep(k);
    const uint8_t* c = candidate + k * stride;
    for (int v = 0; v < vectors; ++v)
      acc = _mm256_add_epi64(acc, RowSad(t + 32 * v, keep + 32 * v, c + 32 * v));
    if (HorizontalSum(acc) > bound) return kSadDropped;
  }
  return HorizontalSum(acc);
}

template <int kVectors>
__attribute__((target("avx2"))) void Scan(const TargetWindow& target,
                                          const CandidateRow& row,
                                          std::atomic<int32_t>& bound,
                                          SlotMinimum& slots) {
  for (int c = 0; c < row.count; ++c) {
    if ((row.mask[c] | row.unknown[c]) != 0) continue;
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (BoundRejects(row, c, limit)) continue;
    const int32_t sum = Sad<kVectors>(target, row.top_left + 3 * c, row.stride, limit);
    if (sum == kSadDropped) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + c, static_cast<float>(sum));
  }
}

}  // namespace

__attribute__((target("avx2"))) int32_t WindowSadAvx2(
    const TargetWindow& target, const uint8_t* candidate, int stride,
    int32_t bound) {
  return Sad<0>(target, candidate, stride, bound);
}

void ScanRowAvx2(const TargetWindow& target, const CandidateRow& row,
                 std::atomic<int32_t>& bound, SlotMinimum& slots) {
  switch (target.padded() / TargetWindow::kAlign) {
    case 1: return Scan<1>(target, row, bound, slots);
    case 2: return Scan<2>(target, row, bound, slots);
    case 3: return Scan<3>(target, row, bound, slots);
    case 4: return Scan<4>(target, row, bound, slots);
    default: return Scan<0>(target, row, bound, slots);
  }
}

}  // namespace pw
#endif
