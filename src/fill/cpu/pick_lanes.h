// Packing the columns of passing lanes on AVX2: for each set of 8 lanes,
// the lane numbers of its bits in order, stored as 8 columns at once.
// Include it inside an x86 guard.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace pw {
namespace pick_lanes {

struct LaneLists {
  alignas(32) int32_t lanes[256][8];
};

constexpr LaneLists MakeLaneLists() {
  LaneLists t{};
  for (int bits = 0; bits < 256; ++bits) {
    int n = 0;
    for (int lane = 0; lane < 8; ++lane)
      if ((bits >> lane) & 1) t.lanes[bits][n++] = lane;
  }
  return t;
}

inline constexpr LaneLists kLaneLists = MakeLaneLists();

// Writes the columns of the set lanes of `bits` (lane k is column c + k)
// to `picks`, 8 entries, and returns how many are set.
__attribute__((target("avx2"))) inline int PutLanes(int c, int bits, int32_t* picks) {
  const __m256i lanes =
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneLists.lanes[bits]));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(picks),
                      _mm256_add_epi32(lanes, _mm256_set1_epi32(c)));
  return __builtin_popcount(static_cast<unsigned>(bits));
}

}  // namespace pick_lanes
}  // namespace pw
