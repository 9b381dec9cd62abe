// AVX-512 keys: 16 candidates per vector of floats.
#include "fill/cpu/candidate_keys.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

#include "fill/cpu/patch_distance_terms.h"

namespace pw {

PW_AVX512 uint32_t KeyRowAvx512(
    const KeyRow& row, uint8_t* buckets) {
  const __m512 t0 = _mm512_set1_ps(row.target[0]);
  const __m512 t1 = _mm512_set1_ps(row.target[1]);
  const __m512 t2 = _mm512_set1_ps(row.target[2]);
  const __m512i whole = _mm512_set1_epi32(row.whole);
  const __m512i third = _mm512_set1_epi32(kThirdMultiplier);
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i none = _mm512_set1_epi32(kNoBucket);
  const __m512 whole_f = _mm512_set1_ps(static_cast<float>(row.whole));
  const __m512i threshold = _mm512_set1_epi32(row.threshold);
  __m512i bits = _mm512_setzero_si512();
  for (int i = 0; i < row.count; i += 16) {
    const __mmask16 lanes =
        row.count - i >= 16 ? __mmask16{0xFFFF}
                            : static_cast<__mmask16>((1u << (row.count - i)) - 1);
    __mmask16 valid = _mm512_mask_cmpeq_epi32_mask(
        lanes, _mm512_maskz_loadu_epi32(lanes, row.counts + i), whole);
    if (row.allowed != nullptr)
      valid = _mm512_mask_test_epi32_mask(
          valid, _mm512_cvtepu8_epi32(_mm512_castsi512_si128(
                     _mm512_maskz_loadu_epi8(lanes, row.allowed + i))),
          _mm512_set1_epi32(0xFF));
    const __m512 m0 = _mm512_maskz_loadu_ps(valid, row.means[0] + i);
    const __m512 m1 = _mm512_maskz_loadu_ps(valid, row.means[1] + i);
    const __m512 m2 = _mm512_maskz_loadu_ps(valid, row.means[2] + i);
    if (row.threshold != INT32_MAX && valid != 0) {
      // The bound of KeyRow, as KeyRowScalar computes it.
      const __m512 m[3] = {m0, m1, m2};
      __m512i bound = _mm512_setzero_si512();
      for (int c = 0; c < 3; ++c) {
        const uint8_t* centre = row.centres + c * row.plane_size + i;
        __m512i sum = _mm512_sub_epi32(_mm512_set1_epi32(row.target_sums[c]),
                                       _mm512_cvttps_epi32(_mm512_mul_ps(m[c], whole_f)));
        for (int k = 0; k < row.uncompared_count; ++k)
          sum = _mm512_add_epi32(sum, _mm512_cvtepu8_epi32(_mm512_castsi512_si128(
                                          _mm512_maskz_loadu_epi8(lanes, centre + row.uncompared[k]))));
        bound = _mm512_add_epi32(
            bound, _mm512_max_epi32(_mm512_sub_epi32(_mm512_abs_epi32(sum), one),
                                    _mm512_setzero_si512()));
      }
      valid = _mm512_mask_cmple_epi32_mask(valid, bound, threshold);
    }
    // The same operations, in the same order, as key_from_means.
    __m512 v = _mm512_sub_ps(m0, t0);
    v = _mm512_add_ps(v, m1);
    v = _mm512_sub_ps(v, t1);
    v = _mm512_add_ps(v, m2);
    v = _mm512_sub_ps(v, t2);
    // |v| <= 765: truncation needs no saturation; the key / 3 is exact by
    // the multiplier (see patch_distance_terms.h), and / 8 a shift.
    const __m512i key = _mm512_cvttps_epi32(_mm512_abs_ps(v));
    const __m512i bucket = _mm512_srli_epi32(_mm512_mullo_epi32(key, third), 19);
    bits = _mm512_mask_or_epi32(bits, valid, bits, _mm512_sllv_epi32(one, bucket));
    _mm512_mask_cvtepi32_storeu_epi8(buckets + i, lanes,
                                     _mm512_mask_blend_epi32(valid, none, bucket));
  }
  alignas(64) uint32_t lanes[16];
  _mm512_store_si512(lanes, bits);
  uint32_t result = 0;
  for (const uint32_t b : lanes) result |= b;
  return result;
}

}  // namespace pw
#endif
