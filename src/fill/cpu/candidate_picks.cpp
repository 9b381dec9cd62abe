#include "fill/cpu/candidate_picks.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/pick_lanes.h"
#endif

namespace pw {

int PickCandidatesScalar(const uint8_t* blocked, const int32_t* unknown,
                         const int32_t* lower, int32_t limit, int count,
                         int32_t* picks) {
  int n = 0;
  for (int c = 0; c < count; ++c) {
    const bool pass = (blocked[c] | unknown[c]) == 0 &&
                      (lower == nullptr || lower[c] <= limit);
    picks[n] = c;
    n += pass ? 1 : 0;
  }
  return n;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

using pick_lanes::PutLanes;

// The lanes of 8 candidates from `c` on that pass, as bits.
__attribute__((target("avx2"))) inline int PassingLanes(
    const uint8_t* blocked, const int32_t* unknown, const int32_t* lower,
    __m256i limit, int c) {
  const __m256i centre = _mm256_cvtepu8_epi32(
      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(blocked + c)));
  __m256i reject = _mm256_or_si256(
      centre, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(unknown + c)));
  reject = _mm256_cmpeq_epi32(reject, _mm256_setzero_si256());  // all ones: usable
  if (lower != nullptr)
    reject = _mm256_andnot_si256(
        _mm256_cmpgt_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + c)),
                           limit),
        reject);
  return _mm256_movemask_ps(_mm256_castsi256_ps(reject));
}

}  // namespace

__attribute__((target("avx2"))) int PickCandidatesAvx2(
    const uint8_t* blocked, const int32_t* unknown, const int32_t* lower,
    int32_t limit, int count, int32_t* picks) {
  if (count < 8)
    return PickCandidatesScalar(blocked, unknown, lower, limit, count, picks);
  const __m256i limits = _mm256_set1_epi32(limit);
  int n = 0;
  int c = 0;
  for (; c + 8 <= count; c += 8)
    n += PutLanes(c, PassingLanes(blocked, unknown, lower, limits, c), picks + n);
  if (c < count) {
    // The last 8 candidates again, keeping only the lanes not yet seen.
    const int seen = 8 - (count - c);
    n += PutLanes(count - 8,
                  PassingLanes(blocked, unknown, lower, limits, count - 8) & (0xFF << seen),
                  picks + n);
  }
  return n;
}
#endif

PickCandidatesFn SelectPickCandidates(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return PickCandidatesAvx512;
  if (level != SimdLevel::Scalar) return PickCandidatesAvx2;
#else
  (void)level;
#endif
  return PickCandidatesScalar;
}

}  // namespace pw
