// The box-sum bounds and the candidate picks of a row in one pass: each
// candidate's bound is tested as soon as it is made, and only the picks
// and their bounds are written (see box_sums.h and candidate_picks.h).
// Before single candidates, groups of 16 neighbouring centres are bounded
// at once from the ranges of their box sums (box_group_ranges.h): a group
// whose bound is above the limit holds no candidate that could be picked,
// and is passed over without reading its candidates' sums.
#pragma once

#include <cstdint>

#include "fill/cpu/box_group_ranges.h"
#include "fill/cpu/box_sums.h"
#include "fill/cpu/cpu_features.h"

namespace pw {

// The `count` centres of image row cy from column x0 on, their blocked
// and unknown entries from blocked[0] and unknown[0] on.
struct BoundPickRow {
  const RowRunBound* runs;  // runs > 0
  const BoxSums* sums;
  const BoxGroupRanges* groups;  // null: no group bounds
  int cy, radius, x0, count;
  const uint8_t* blocked;
  const int32_t* unknown;
  int32_t limit;
};

// Writes to `picks` the columns c (0 .. count - 1, in order) that
// PickCandidates would pick given the bounds of RowLowerBounds, and the
// bound of each pick to lower[c]; returns how many. Other entries of
// `lower` (count of them) may change. `picks` has room for count + 8.
using BoundPicksFn = int (*)(const BoundPickRow& row, int32_t* picks, int32_t* lower);

int BoundPicksScalar(const BoundPickRow& row, int32_t* picks, int32_t* lower);
int BoundPicksAvx2(const BoundPickRow& row, int32_t* picks, int32_t* lower);
int BoundPicksAvx512(const BoundPickRow& row, int32_t* picks, int32_t* lower);

BoundPicksFn SelectBoundPicks(SimdLevel level);

// The lower bounds of the groups g0 .. g0 + n - 1 for the centres of image
// row cy, capped at 2^16 - 1 (each at most the bound of any centre of its
// group). g0 is a multiple of 32 and g0 + n at most groups.stride().
using GroupBoundsFn = void (*)(const RowRunBound& rb, const BoxGroupRanges& groups, int cy,
                               int radius, int g0, int n, uint16_t* out);

void GroupBoundsScalar(const RowRunBound& rb, const BoxGroupRanges& groups, int cy, int radius,
                       int g0, int n, uint16_t* out);
void GroupBoundsAvx2(const RowRunBound& rb, const BoxGroupRanges& groups, int cy, int radius,
                     int g0, int n, uint16_t* out);
void GroupBoundsAvx512(const RowRunBound& rb, const BoxGroupRanges& groups, int cy, int radius,
                       int g0, int n, uint16_t* out);

GroupBoundsFn SelectGroupBounds(SimdLevel level);

}  // namespace pw
