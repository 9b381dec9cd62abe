// The 512-slot selection as one 64-bit number per candidate, so that a
// minimum taken in any order (an atomicMin across a whole grid, say) picks
// the candidate the slot scan and tree pick: the distance's bits on top
// (non-negative floats order as their bit patterns), then the slot number
// k mod 512 with its 9 bits reversed, then k / 512, the place within the
// slot. Smaller is better; kNoKey stands for no candidate.
#pragma once

#include <cstdint>
#include <cstring>

#include "fill/kernels/hd.h"

namespace pw::kernels {

constexpr uint64_t kNoKey = ~uint64_t{0};

PW_HD uint32_t reverse_slot_bits(uint32_t slot) {
  uint32_t r = 0;
  for (int b = 0; b < 9; ++b) r |= ((slot >> b) & 1u) << (8 - b);
  return r;
}

PW_HD uint32_t float_bits(float d) {
#if defined(__CUDA_ARCH__)
  return __float_as_uint(d);
#else
  uint32_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
#endif
}

PW_HD float float_from_bits(uint32_t u) {
#if defined(__CUDA_ARCH__)
  return __uint_as_float(u);
#else
  float d;
  std::memcpy(&d, &u, sizeof d);
  return d;
#endif
}

// Key of candidate `index` (0 <= index < 2^31) with a distance that is a
// non-negative number (never NaN, never -0).
PW_HD uint64_t candidate_key(float distance, int32_t index) {
  const uint32_t i = static_cast<uint32_t>(index);
  return (uint64_t{float_bits(distance)} << 32) |
         (uint64_t{reverse_slot_bits(i & 511u)} << 23) | uint64_t{i >> 9};
}

PW_HD float key_distance(uint64_t key) {
  return float_from_bits(static_cast<uint32_t>(key >> 32));
}

PW_HD int32_t key_index(uint64_t key) {
  const uint32_t slot = reverse_slot_bits(static_cast<uint32_t>(key >> 23) & 511u);
  return static_cast<int32_t>(((static_cast<uint32_t>(key) & 0x7FFFFFu) << 9) | slot);
}

}  // namespace pw::kernels
