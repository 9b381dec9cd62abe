// Which vector instructions the CPU backend uses. Detected at run time;
// PATCHWELL_SIMD=scalar or avx2 (or a call to LimitSimdLevel) forces a lower
// level,
// so that every path can be tested on one machine. All levels give the
// same results.
#pragma once

namespace pw {

enum class SimdLevel { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// What this processor supports.
SimdLevel DetectedSimdLevel();

// What the backend uses: the detected level, lowered by PATCHWELL_SIMD and
// by LimitSimdLevel.
SimdLevel ActiveSimdLevel();

// Caps the active level (for tests and benchmarks).
void LimitSimdLevel(SimdLevel limit);

const char* SimdLevelName(SimdLevel level);

}  // namespace pw
