// AVX-512BW patch sums: two units (two window rows of up to 16 pixels, or
// two parts of a longer row) per vector of 32 16-bit lanes. Exact integer
// sums, equal to the scalar path's.
#include "fill/cpu/patch_distance.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

#include <cstring>

#include "fill/cpu/patch_distance_terms.h"

namespace pw {

namespace {

// The kept bytes of 16 at each of a and b (keep's low and high halves),
// widened to 32 lanes, zero elsewhere. Bytes not kept are not read at all:
// past a short row they may be a pixel that another thread fills.
PW_AVX512 inline __m512i LoadPair(const uint8_t* a, const uint8_t* b, uint32_t keep) {
  const __m256i both = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_maskz_loadu_epi8(static_cast<__mmask16>(keep), a)),
      _mm_maskz_loadu_epi8(static_cast<__mmask16>(keep >> 16), b), 1);
  return _mm512_cvtepu8_epi16(both);
}

PW_AVX512 inline __m512i AbsDiff(const uint8_t* a, const uint8_t* b, uint32_t keep,
                                 const uint16_t* t) {
  return _mm512_abs_epi16(_mm512_sub_epi16(LoadPair(a, b, keep), _mm512_load_si512(t)));
}

}  // namespace

PW_AVX512 int32_t PatchSumAvx512(const PlanarTarget& target,
                                 const uint8_t* top_left, int32_t limit) {
  const size_t n = target.units();
  const size_t plane = target.plane_size();
  const int32_t* offsets = target.offsets();
  const uint16_t* t0 = target.channel(0);
  const uint16_t* t1 = target.channel(1);
  const uint16_t* t2 = target.channel(2);
  const __m512i third = _mm512_set1_epi16(static_cast<short>(kThirdMultiplier));
  const __m512i ones = _mm512_set1_epi16(1);
  int32_t sum = 0;
  size_t u = 0;
  while (u < n) {
    const size_t end = u + kUnitsPerCheck < n ? u + kUnitsPerCheck : n;
    __m512i acc = _mm512_setzero_si512();
    for (; u < end; u += 2) {
      const uint8_t* a = top_left + offsets[u];
      const uint8_t* b = top_left + offsets[u + 1];
      const size_t e = u * PlanarTarget::kLanes;
      uint32_t keep;
      std::memcpy(&keep, target.keep_bits() + u, sizeof keep);
      __m512i d = AbsDiff(a, b, keep, t0 + e);
      d = _mm512_add_epi16(d, AbsDiff(a + plane, b + plane, keep, t1 + e));
      d = _mm512_add_epi16(d, AbsDiff(a + 2 * plane, b + 2 * plane, keep, t2 + e));
      const __m512i q = _mm512_mulhi_epu16(d, third);
      acc = _mm512_mask_add_epi16(acc, keep, acc, q);
    }
    sum += _mm512_reduce_add_epi32(_mm512_madd_epi16(acc, ones));
    if (sum > limit) return kSumDropped;
  }
  return sum > limit ? kSumDropped : sum;
}

}  // namespace pw
#endif
