// The terms of a box-sum bound, as the row passes of bound_picks read
// them: one per run of rows and channel, the parts of the kept sums at the
// run's last row (hi) and the row before its first (lo), and the target's
// sum of that run. A value of the run is (hp + hq) - (lp + lq) modulo 2^16;
// where both rows lie in one block of the kept sums the block parts are
// equal and cancel (one_block).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fill/cpu/box_group_ranges.h"
#include "fill/cpu/box_sums.h"

namespace pw {

struct BoundTerm {
  const uint16_t *hq, *lq, *hp, *lp;
  bool one_block;
  int32_t target;
};

inline constexpr int kMaxBoundTerms = RowRunBound::kMaxRuns * 3;

// The terms of a row of centres, each pointing at column 0 of its channel
// (`table_of_channel`: where channel c starts in a row of the table).
template <class Table, class Offset>
int MakeBoundTerms(const RowRunBound& rb, const Table& table, int cy, int radius,
                   Offset table_of_channel, BoundTerm* out) {
  int n = 0;
  for (int j = 0; j < rb.runs; ++j) {
    const int hi = cy - radius + rb.last_row[j];
    const int lo = cy - radius + rb.first_row[j] - 1;
    const bool one_block = (lo < 0 ? 0 : lo / BoxSums::kBlockRows) == hi / BoxSums::kBlockRows;
    for (int c = 0; c < 3; ++c) {
      const size_t base = table_of_channel(c);
      out[n++] = BoundTerm{table.q(hi) + base, table.q(lo) + base, table.p(hi) + base,
                           table.p(lo) + base, one_block,          rb.target[j][c]};
    }
  }
  return n;
}

// Terms over the box sums of single centres.
inline int CentreTerms(const RowRunBound& rb, const BoxSums& sums, int cy, int radius,
                       BoundTerm* out) {
  const size_t width = static_cast<size_t>(sums.width());
  return MakeBoundTerms(
      rb, sums, cy, radius, [&](int c) { return c * width; }, out);
}

// Terms over the minima of groups; a group's maxima lie 3 * stride()
// further on.
inline int GroupTerms(const RowRunBound& rb, const BoxGroupRanges& groups, int cy, int radius,
                      BoundTerm* out) {
  const size_t stride = static_cast<size_t>(groups.stride());
  return MakeBoundTerms(
      rb, groups, cy, radius, [&](int c) { return c * stride; }, out);
}

// A run's value at index i of a term.
inline uint16_t TermRun(const BoundTerm& t, size_t i) {
  return static_cast<uint16_t>((t.hp[i] + t.hq[i]) - (t.lp[i] + t.lq[i]));
}

}  // namespace pw
