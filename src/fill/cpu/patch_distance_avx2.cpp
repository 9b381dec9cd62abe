// AVX2 patch sums: one unit (a window row of up to 16 pixels, or a part of
// a longer row) per vector of 16 16-bit lanes. Exact integer sums, equal to
// the scalar path's.
#include "fill/cpu/patch_distance.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "fill/cpu/patch_distance_terms.h"

namespace pw {

namespace {

#define PW_AVX2 __attribute__((target("avx2")))

PW_AVX2 inline __m256i AbsDiff(const uint8_t* c, const uint16_t* t) {
  const __m256i wide =
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  return _mm256_abs_epi16(_mm256_sub_epi16(
      wide, _mm256_load_si256(reinterpret_cast<const __m256i*>(t))));
}

PW_AVX2 inline int32_t HorizontalSum(__m256i v16) {
  const __m256i v = _mm256_madd_epi16(v16, _mm256_set1_epi16(1));
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_unpackhi_epi64(s, s));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 1));
  return _mm_cvtsi128_si32(s);
}

}  // namespace

PW_AVX2 int32_t PatchSumAvx2(const PlanarTarget& target,
                             const uint8_t* top_left, int32_t limit) {
  const size_t n = target.units();
  const size_t plane = target.plane_size();
  const int32_t* offsets = target.offsets();
  const uint16_t* t0 = target.channel(0);
  const uint16_t* t1 = target.channel(1);
  const uint16_t* t2 = target.channel(2);
  const uint16_t* keep = target.keep();
  const __m256i third = _mm256_set1_epi16(static_cast<short>(kThirdMultiplier));
  int32_t sum = 0;
  size_t u = 0;
  while (u < n) {
    const size_t end = u + kUnitsPerCheck < n ? u + kUnitsPerCheck : n;
    __m256i acc = _mm256_setzero_si256();
    for (; u < end; ++u) {
      const uint8_t* c = top_left + offsets[u];
      const size_t e = u * PlanarTarget::kLanes;
      __m256i d = AbsDiff(c, t0 + e);
      d = _mm256_add_epi16(d, AbsDiff(c + plane, t1 + e));
      d = _mm256_add_epi16(d, AbsDiff(c + 2 * plane, t2 + e));
      const __m256i q = _mm256_mulhi_epu16(d, third);
      acc = _mm256_add_epi16(
          acc, _mm256_and_si256(
                   q, _mm256_load_si256(reinterpret_cast<const __m256i*>(keep + e))));
    }
    sum += HorizontalSum(acc);
    if (sum > limit) return kSumDropped;
  }
  return sum > limit ? kSumDropped : sum;
}

}  // namespace pw
#endif
