#include "fill/cpu/candidate_keys.h"

#include "fill/kernels/fast.h"

namespace pw {

uint32_t KeyRowScalar(const KeyRow& row, uint8_t* buckets) {
  uint32_t bits = 0;
  for (int i = 0; i < row.count; ++i) {
    if (row.counts[i] != row.whole || (row.allowed != nullptr && row.allowed[i] == 0)) {
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
