// AVX2 keys: 8 candidates per vector of floats, the rest of a row scalar.
#include "fill/cpu/candidate_keys.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <cstring>

#include "fill/cpu/patch_distance_terms.h"

namespace pw {

__attribute__((target("avx2"))) uint32_t KeyRowAvx2(const KeyRow& row,
                                                    uint8_t* buckets) {
  const __m256 t0 = _mm256_set1_ps(row.target[0]);
  const __m256 t1 = _mm256_set1_ps(row.target[1]);
  const __m256 t2 = _mm256_set1_ps(row.target[2]);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256i whole = _mm256_set1_epi32(row.whole);
  const __m256i third = _mm256_set1_epi32(kThirdMultiplier);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256 whole_f = _mm256_set1_ps(static_cast<float>(row.whole));
  const __m256i threshold = _mm256_set1_epi32(row.threshold);
  // The low byte of each 32-bit lane, gathered into the low 8 bytes.
  const __m256i low_bytes = _mm256_setr_epi8(
      0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i halves = _mm256_setr_epi32(0, 4, 1, 1, 1, 1, 1, 1);
  __m256i bits = _mm256_setzero_si256();
  int i = 0;
  for (; i + 8 <= row.count; i += 8) {
    __m256i valid = _mm256_cmpeq_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row.counts + i)), whole);
    if (row.allowed != nullptr) {
      int64_t allowed;
      std::memcpy(&allowed, row.allowed + i, sizeof allowed);
      const __m256i a = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(allowed));
      valid = _mm256_andnot_si256(_mm256_cmpeq_epi32(a, _mm256_setzero_si256()), valid);
    }
    const __m256 m[3] = {_mm256_loadu_ps(row.means[0] + i),
                         _mm256_loadu_ps(row.means[1] + i),
                         _mm256_loadu_ps(row.means[2] + i)};
    if (row.threshold != INT32_MAX) {
      // The bound of KeyRow, as KeyRowScalar computes it.
      __m256i bound = _mm256_setzero_si256();
      for (int c = 0; c < 3; ++c) {
        const uint8_t* centre = row.centres + c * row.plane_size + i;
        __m256i sum = _mm256_sub_epi32(_mm256_set1_epi32(row.target_sums[c]),
                                       _mm256_cvttps_epi32(_mm256_mul_ps(m[c], whole_f)));
        for (int k = 0; k < row.uncompared_count; ++k)
          sum = _mm256_add_epi32(sum, _mm256_cvtepu8_epi32(_mm_loadl_epi64(
                                          reinterpret_cast<const __m128i*>(centre + row.uncompared[k]))));
        bound = _mm256_add_epi32(
            bound, _mm256_max_epi32(_mm256_sub_epi32(_mm256_abs_epi32(sum), one),
                                    _mm256_setzero_si256()));
      }
      valid = _mm256_andnot_si256(_mm256_cmpgt_epi32(bound, threshold), valid);
    }
    // The same operations, in the same order, as key_from_means.
    __m256 v = _mm256_sub_ps(m[0], t0);
    v = _mm256_add_ps(v, m[1]);
    v = _mm256_sub_ps(v, t1);
    v = _mm256_add_ps(v, m[2]);
    v = _mm256_sub_ps(v, t2);
    // A lane that is no candidate may hold anything, NaN included; its
    // result is replaced below. Elsewhere |v| <= 765: truncation needs no
    // saturation; the key / 3 is exact by the multiplier (see
    // patch_distance_terms.h), and / 8 a shift.
    const __m256i key = _mm256_cvttps_epi32(_mm256_andnot_ps(sign, v));
    const __m256i bucket = _mm256_and_si256(
        _mm256_srli_epi32(_mm256_mullo_epi32(key, third), 19), _mm256_set1_epi32(31));
    bits = _mm256_or_si256(bits, _mm256_and_si256(valid, _mm256_sllv_epi32(one, bucket)));
    const __m256i out = _mm256_or_si256(bucket, _mm256_andnot_si256(valid, _mm256_set1_epi32(kNoBucket)));
    const __m256i packed =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(out, low_bytes), halves);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(buckets + i),
                     _mm256_castsi256_si128(packed));
  }
  __m128i b = _mm_or_si128(_mm256_castsi256_si128(bits), _mm256_extracti128_si256(bits, 1));
  b = _mm_or_si128(b, _mm_unpackhi_epi64(b, b));
  b = _mm_or_si128(b, _mm_shuffle_epi32(b, 1));
  uint32_t result = static_cast<uint32_t>(_mm_cvtsi128_si32(b));
  if (i < row.count) {
    KeyRow rest = row;
    for (int c = 0; c < 3; ++c) rest.means[c] += i;
    rest.counts += i;
    if (rest.centres != nullptr) rest.centres += i;
    if (rest.allowed != nullptr) rest.allowed += i;
    rest.count = row.count - i;
    result |= KeyRowScalar(rest, buckets + i);
  }
  return result;
}

}  // namespace pw
#endif
