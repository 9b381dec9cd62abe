// Window-wide box sums for a cheap lower bound on the distance.
//
// For every pixel and channel, H(x, y) is the sum of the channel bytes of
// the 2r + 1 pixels of row y centred on column x, and F(x, y) the sum of H
// over rows 0..y. The sum of a candidate window over a run of whole rows is
// then a difference of two F values, and |sum(target) - sum(candidate)|
// over those rows never exceeds the sum of absolute differences there: a
// candidate whose bound is above the best sum found so far can be passed
// over without reading its pixels.
//
// F is kept in two parts, so that a changed pixel touches a few rows
// rather than every row below it: Q, the sum of H from the first row of the
// pixel's block of 64 rows, and P, the sum of H over all earlier blocks;
// F = P + Q. Values are planar (one row of each channel after the other)
// and kept modulo 2^16: the difference of two is exact for every run whose
// sum is below 2^16, which is what runs of at most MaxRunRows() rows are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fill/cpu/cpu_features.h"
#include "fill/cpu/thread_pool.h"

namespace pw {

class BoxSums {
 public:
  static constexpr int kBlockRows = 64;

  // The sums cost 6 bytes per pixel; larger images go without them.
  static bool Affordable(int width, int height);
  // The longest run of rows whose sums stay below 2^16 (0: none).
  static int MaxRunRows(int radius);

  // Sums the image, its blocks spread over `pool`'s threads when given.
  void Init(const uint8_t* image, int width, int height, int stride, int radius,
            ThreadPool* pool = nullptr);
  void Release();
  bool ready() const { return !q_.empty(); }
  int width() const { return width_; }

  // Pixel (x, y) changed from `before` to `after` (3 bytes each). Only the
  // sums of blocks first_block .. end_block - 1 change (the rows of Q and
  // the prefixes of P of those blocks): threads that each take a range of
  // blocks can apply the same changes side by side.
  void Update(int x, int y, const uint8_t* before, const uint8_t* after,
              int first_block = 0, int end_block = INT32_MAX);
  int blocks() const { return (height_ + kBlockRows - 1) / kBlockRows; }

  // The two parts of F for image row y (y = -1 gives zeros): channel c of
  // column x at c * width + x of each.
  const uint16_t* q(int y) const {
    return q_.data() + static_cast<size_t>(y + 1) * width_ * 3;
  }
  const uint16_t* p(int y) const {
    return p_.data() + static_cast<size_t>(y < 0 ? 0 : y / kBlockRows) * width_ * 3;
  }

  // The box sum of channel c centred on column x over rows y0..y1, which
  // are at most MaxRunRows() rows.
  uint32_t RowsSum(int y0, int y1, int x, int c) const;

 private:
  int width_ = 0, height_ = 0, radius_ = 0;
  std::vector<uint16_t> q_;  // height + 1 rows, the first all zero
  std::vector<uint16_t> p_;  // one row per block, the first all zero
};

// The bound of one target: runs of whole known window rows (each at most
// BoxSums::MaxRunRows()), with the target's channel sums over each run.
struct RowRunBound {
  static constexpr int kMaxRuns = 4;
  int runs = 0;
  int first_row[kMaxRuns];  // window rows a..b of each run
  int last_row[kMaxRuns];
  int32_t target[kMaxRuns][3];
};

// The lower bounds of `count` neighbouring candidates of image row cy whose
// first centre is column x0, into `out`. A bound is capped at 2^16 - 1, as
// the vector path sums in 16-bit lanes.
using RowLowerBoundsFn = void (*)(const RowRunBound& rb, const BoxSums& sums,
                                  int cy, int radius, int x0, int count,
                                  int32_t* out);

void RowLowerBoundsScalar(const RowRunBound& rb, const BoxSums& sums, int cy,
                          int radius, int x0, int count, int32_t* out);
void RowLowerBoundsAvx2(const RowRunBound& rb, const BoxSums& sums, int cy,
                        int radius, int x0, int count, int32_t* out);
void RowLowerBoundsAvx512(const RowRunBound& rb, const BoxSums& sums, int cy,
                          int radius, int x0, int count, int32_t* out);

RowLowerBoundsFn SelectRowLowerBounds(SimdLevel level);

}  // namespace pw
