// The best candidate of one scoring pass, kept one at a time. The device's
// block search picks, among equal smallest distances, the slot (index
// modulo 512) whose 9-bit number read backwards is smallest, and within the
// slot the lowest index (kernels/selection.h). Only the minimum matters, so
// the candidate that search would pick is also the smallest by (distance,
// reversed slot, index), whatever the order of the offers.
#pragma once

#include <cmath>
#include <cstdint>

#include "fill/kernels/selection.h"

namespace pw {

// The key of index i among equal distances; smaller wins.
inline uint64_t SelectionRank(int32_t i) {
  const uint32_t slot = static_cast<uint32_t>(i) & (kernels::kSelectThreads - 1);
  uint32_t reversed = 0;
  for (int b = 0; b < 9; ++b) reversed |= ((slot >> b) & 1u) << (8 - b);
  return uint64_t{reversed} << 32 | static_cast<uint32_t>(i);
}

struct PassBest {
  float distance = INFINITY;
  int32_t index = -1;  // none yet

  void Clear() {
    distance = INFINITY;
    index = -1;
  }
  // d is never NaN.
  void Offer(int32_t i, float d) {
    if (d < distance || (d == distance && SelectionRank(i) < SelectionRank(index))) {
      distance = d;
      index = i;
    }
  }
  void Merge(const PassBest& other) {
    if (other.index >= 0) Offer(other.index, other.distance);
  }
};

}  // namespace pw
