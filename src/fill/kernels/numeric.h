// Float-to-int conversions with one defined result on every processor.
// CUDA's conversions saturate and turn NaN into 0, while x86 gives INT_MIN
// for both; the backends must agree, so both use these.
#pragma once

#include <cmath>
#include <cstdint>

#include "fill/kernels/hd.h"

namespace pw::kernels {

// Truncation toward zero, saturating, NaN -> 0.
PW_HD int32_t float_to_int_rz(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483648.0f) return 2147483647;
  if (v <= -2147483648.0f) return (-2147483647 - 1);
  return static_cast<int32_t>(v);
}

// Rounding to nearest with halves away from zero, saturating, NaN -> 0.
PW_HD int32_t float_round_to_int(float v) {
  return float_to_int_rz(roundf(v));
}

// Number of blocks for n items in blocks of b: the quotient rounded up.
PW_HD int div_round_up(int a, int b) {
  return a / b + ((a % b) > 0 ? 1 : 0);
}

}  // namespace pw::kernels
