// The candidate picks on AVX-512: 16 candidates at once, their passing
// columns packed by vpcompressd (into a register: compressing straight to
// memory is slow on some cores).
#include "fill/cpu/candidate_picks.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

namespace pw {

namespace {

// The lanes of 16 candidates from `c` on that pass, as bits.
PW_AVX512 inline __mmask16 PassingLanes(const uint8_t* blocked, const int32_t* unknown,
                                        const int32_t* lower, __m512i limit, int c) {
  const __m512i centre =
      _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocked + c)));
  __mmask16 pass = _mm512_cmpeq_epi32_mask(
      _mm512_or_si512(centre, _mm512_loadu_si512(unknown + c)), _mm512_setzero_si512());
  if (lower != nullptr)
    pass = _mm512_mask_cmple_epi32_mask(pass, _mm512_loadu_si512(lower + c), limit);
  return pass;
}

}  // namespace

PW_AVX512 int PickCandidatesAvx512(const uint8_t* blocked, const int32_t* unknown,
                                   const int32_t* lower, int32_t limit, int count,
                                   int32_t* picks) {
  if (count < 16) return PickCandidatesAvx2(blocked, unknown, lower, limit, count, picks);
  const __m512i limits = _mm512_set1_epi32(limit);
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  int n = 0;
  int c = 0;
  for (; c + 16 <= count; c += 16) {
    const __mmask16 pass = PassingLanes(blocked, unknown, lower, limits, c);
    // n <= c, so all 16 lanes land within picks[0 .. count).
    _mm512_storeu_si512(picks + n, _mm512_maskz_compress_epi32(
                                       pass, _mm512_add_epi32(lanes, _mm512_set1_epi32(c))));
    n += __builtin_popcount(pass);
  }
  if (c < count) {
    // The last 16 candidates again, keeping only the lanes not yet seen;
    // only the passing ones are stored.
    const int seen = 16 - (count - c);
    const __mmask16 pass = static_cast<__mmask16>(
        PassingLanes(blocked, unknown, lower, limits, count - 16) & (0xFFFF << seen));
    const int found = __builtin_popcount(pass);
    _mm512_mask_storeu_epi32(
        picks + n, static_cast<__mmask16>((1u << found) - 1),
        _mm512_maskz_compress_epi32(pass, _mm512_add_epi32(lanes, _mm512_set1_epi32(count - 16))));
    n += found;
  }
  return n;
}

}  // namespace pw
#endif
