// The candidates of one image row that are worth a sum of absolute
// differences: their centre may be used (not blocked), their window holds
// no unknown pixel, and their lower bound is not above the best sum so
// far. Picking them before any sum keeps the scoring loop free of the
// unpredictable branches the tests would cost there.
#pragma once

#include <cstdint>

#include "fill/cpu/cpu_features.h"

namespace pw {

// Writes to `picks` the columns c (0 .. count - 1, in order) for which
// blocked[c] and unknown[c] are 0 and, given bounds (`lower` not null),
// lower[c] <= limit; returns how many. `picks` has room for count + 8.
using PickCandidatesFn = int (*)(const uint8_t* blocked, const int32_t* unknown,
                                 const int32_t* lower, int32_t limit, int count,
                                 int32_t* picks);

int PickCandidatesScalar(const uint8_t* blocked, const int32_t* unknown,
                         const int32_t* lower, int32_t limit, int count,
                         int32_t* picks);
int PickCandidatesAvx2(const uint8_t* blocked, const int32_t* unknown,
                       const int32_t* lower, int32_t limit, int count,
                       int32_t* picks);
int PickCandidatesAvx512(const uint8_t* blocked, const int32_t* unknown,
                         const int32_t* lower, int32_t limit, int count,
                         int32_t* picks);

PickCandidatesFn SelectPickCandidates(SimdLevel level);

}  // namespace pw
