// The box-sum lower bounds of a row of candidates on AVX-512BW: 32 centres
// at once, as the AVX2 path does 16 (see box_sums.cpp).
#include "fill/cpu/box_sums.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

namespace pw {

namespace {
PW_AVX512 inline __m512i Load16(const uint16_t* p) { return _mm512_loadu_si512(p); }
PW_AVX512 inline __m256i Load16Half(const uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
}  // namespace

PW_AVX512 void RowLowerBoundsAvx512(const RowRunBound& rb, const BoxSums& sums, int cy,
                                    int radius, int x0, int count, int32_t* out) {
  if (count < 32 || rb.runs == 0)
    return RowLowerBoundsAvx2(rb, sums, cy, radius, x0, count, out);
  // One term per run and channel, as on AVX2: F(hi) - F(lo) of the column
  // sums in 16-bit lanes, the block prefixes left out where they cancel.
  struct Term {
    const uint16_t *hq, *lq, *hp, *lp;
    bool one_block;
    __m512i target;
  } terms[RowRunBound::kMaxRuns * 3];
  int n = 0;
  const int width = sums.width();
  for (int j = 0; j < rb.runs; ++j) {
    const int hi = cy - radius + rb.last_row[j];
    const int lo = cy - radius + rb.first_row[j] - 1;
    const bool one_block = (lo < 0 ? 0 : lo / BoxSums::kBlockRows) == hi / BoxSums::kBlockRows;
    for (int c = 0; c < 3; ++c) {
      const size_t base = static_cast<size_t>(c) * width + x0;
      terms[n++] = Term{sums.q(hi) + base, sums.q(lo) + base, sums.p(hi) + base,
                        sums.p(lo) + base, one_block,
                        _mm512_set1_epi16(static_cast<int16_t>(rb.target[j][c]))};
    }
  }
  auto step32 = [&](int at) PW_AVX512 {
    __m512i acc = _mm512_setzero_si512();
    for (int t = 0; t < n; ++t) {
      const Term& term = terms[t];
      __m512i run = _mm512_sub_epi16(Load16(term.hq + at), Load16(term.lq + at));
      if (!term.one_block)
        run = _mm512_add_epi16(run, _mm512_sub_epi16(Load16(term.hp + at), Load16(term.lp + at)));
      const __m512i d = _mm512_sub_epi16(_mm512_max_epu16(term.target, run),
                                         _mm512_min_epu16(term.target, run));
      acc = _mm512_adds_epu16(acc, d);  // saturates at 2^16 - 1, still a bound
    }
    _mm512_storeu_si512(out + at, _mm512_cvtepu16_epi32(_mm512_castsi512_si256(acc)));
    _mm512_storeu_si512(out + at + 16, _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(acc, 1)));
  };
  // The same on 16 centres, in half as wide registers.
  auto step16 = [&](int at) PW_AVX512 {
    __m256i acc = _mm256_setzero_si256();
    for (int t = 0; t < n; ++t) {
      const Term& term = terms[t];
      const __m256i target = _mm512_castsi512_si256(term.target);
      __m256i run = _mm256_sub_epi16(Load16Half(term.hq + at), Load16Half(term.lq + at));
      if (!term.one_block)
        run = _mm256_add_epi16(
            run, _mm256_sub_epi16(Load16Half(term.hp + at), Load16Half(term.lp + at)));
      acc = _mm256_adds_epu16(acc, _mm256_sub_epi16(_mm256_max_epu16(target, run),
                                                    _mm256_min_epu16(target, run)));
    }
    _mm512_storeu_si512(out + at, _mm512_cvtepu16_epi32(acc));
  };
  int at = 0;
  for (; at + 32 <= count; at += 32) step32(at);
  // The rest again from 16 or 32 centres before the end, overlapping
  // bounds already made: they are written again, the same.
  if (at < count) {
    if (count - at <= 16)
      step16(count - 16);
    else
      step32(count - 32);
  }
}

}  // namespace pw
#endif
