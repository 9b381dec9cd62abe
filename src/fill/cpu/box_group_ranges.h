// The range of the box sums over groups of neighbouring centres, for a
// lower bound of a whole group of candidates at once.
//
// Centres are grouped by 16 columns (group g holds columns 16g .. 16g + 15
// of a row). For every image row, group and channel the table keeps the
// smallest and the largest row box sum H (see box_sums.h) of the group's
// columns, summed over rows as BoxSums sums H: a run of rows of any
// candidate of the group has a sum between the run's sum of the minima and
// that of the maxima, so the target's distance to that interval bounds
// every candidate of the group from below. Values are kept modulo 2^16 in
// two parts, P and Q, as in BoxSums; runs of at most MaxRunRows() rows come
// out exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fill/cpu/box_sums.h"

namespace pw {

class BoxGroupRanges {
 public:
  static constexpr int kGroup = 16;  // centres per group

  // From sums that are ready, of an image `height` rows high.
  void Init(const BoxSums& sums, int height);
  void Release();
  bool ready() const { return !q_.empty(); }
  int groups() const { return groups_; }
  // A row of the table holds the minima of channels 0, 1, 2, then their
  // maxima, each stride() groups long: a multiple of 32 (the tail zero),
  // so that whole vectors of groups from a multiple of 32 on stay within
  // their part. Channel c's minima start at c * stride(), its maxima at
  // (3 + c) * stride().
  int stride() const { return stride_; }

  // After sums.Update for pixel (x, y): brings row y of the groups whose
  // box sums the pixel is in up to date.
  void Update(const BoxSums& sums, int x, int y, int radius);

  // The two parts for image row y (y = -1 gives zeros), as BoxSums::q/p.
  const uint16_t* q(int y) const { return q_.data() + static_cast<size_t>(y + 1) * row_; }
  const uint16_t* p(int y) const {
    return p_.data() + static_cast<size_t>(y < 0 ? 0 : y / BoxSums::kBlockRows) * row_;
  }

 private:
  // The minima and maxima of row y's box sums of groups g0 .. g1 into
  // `out` (a table row).
  void RowRanges(const BoxSums& sums, int y, int g0, int g1, uint16_t* out) const;

  int width_ = 0, height_ = 0, groups_ = 0, stride_ = 0;
  size_t row_ = 0;
  std::vector<uint16_t> q_;      // height + 1 rows, the first all zero
  std::vector<uint16_t> p_;      // one row per block, the first all zero
  std::vector<uint16_t> fresh_;  // Update's new ranges
};

}  // namespace pw
