#include "fill/cpu/candidate_keys.h"

#include <algorithm>
#include <cstdlib>

#include "fill/kernels/fast.h"

namespace pw {

// The whole window's channel sum C of a candidate from its mean, as the
// vector paths compute it: mean = C / N rounded, with N <= 255^2 and a
// mean below 256, is within 2^-17 of the quotient, so mean * N is within
// 0.4962 of C; rounded again (below 2^24, to within 0.5) and truncated, it
// is within 1 of C.
inline int32_t SumFromMean(float mean, float whole) {
  return static_cast<int32_t>(mean * whole);
}

// The bound of KeyRow for candidate i of the row.
inline int32_t LowerBound(const KeyRow& row, int i) {
  const float whole = static_cast<float>(row.whole);
  int32_t bound = 0;
  for (int c = 0; c < 3; ++c) {
    const uint8_t* centre = row.centres + c * row.plane_size + i;
    int32_t sum = row.target_sums[c] - SumFromMean(row.means[c][i], whole);
    for (int k = 0; k < row.uncompared_count; ++k) sum += centre[row.uncompared[k]];
    bound += std::max(0, std::abs(sum) - 1);
  }
  return bound;
}

uint32_t KeyRowScalar(const KeyRow& row, uint8_t* buckets) {
  uint32_t bits = 0;
  for (int i = 0; i < row.count; ++i) {
    if (row.counts[i] != row.whole || (row.allowed != nullptr && row.allowed[i] == 0) ||
        (row.threshold != INT32_MAX && LowerBound(row, i) > row.threshold)) {
      buckets[i] = kNoBucket;
      continue;
    }
    const int key = static_cast<int>(kernels::key_from_means(
        row.means[0][i], row.means[1][i], row.means[2][i], row.target[0],
        row.target[1], row.target[2]));
    buckets[i] = static_cast<uint8_t>(key / kernels::kBucketWidth);
    bits |= 1u << buckets[i];
  }
  return bits;
}

KeyRowFn SelectKeyRow(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return KeyRowAvx512;
  if (level == SimdLevel::Avx2) return KeyRowAvx2;
#else
  (void)level;
#endif
  return KeyRowScalar;
}

}  // namespace pw
