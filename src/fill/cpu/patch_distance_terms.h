// Shared by the vector patch sums: the exact division of a term by 3 and
// how often the partial sum is tested against the limit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw {

// floor(s / 3) for 0 <= s < 2^15 (a term sums three channel differences of
// at most 255) is (s * 21846) >> 16, the high half of a 16-bit product.
// Since 3 * 21846 = 2^16 + 2, s * 21846 / 2^16 = s / 3 + 2s / (3 * 2^16):
// the excess is below 1/3, and the fraction of s / 3 is at most 2/3, so
// adding it never reaches the next integer.
constexpr uint16_t kThirdMultiplier = 21846;

// Units summed between two tests of the limit (even, for the pairs of the
// AVX-512 path). A test costs a horizontal sum; the 16-bit lanes hold at
// most this many terms of 255 between tests, far below 32767 (the sums are
// read with a signed multiply-add).
constexpr size_t kUnitsPerCheck = 4;

}  // namespace pw
