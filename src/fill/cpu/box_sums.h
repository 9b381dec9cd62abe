// Window-wide box sums for a cheap lower bound on the distance.
//
// For every pixel and channel, Q(x, y) is the sum over rows 0..y of the
// channel bytes of the 2r + 1 pixels centred on column x. The sum of a
// candidate window over a run of whole rows is then a difference of two Q
// values, and |sum(target) - sum(candidate)| over those rows never exceeds
// the sum of absolute differences there: a candidate whose bound is above
// the best sum found so far can be passed over without reading its pixels.
// Values wrap modulo 2^32; differences of box sums are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pw {

class BoxSums {
 public:
  // The sums cost 12 bytes per pixel; larger images go without them.
  static bool Affordable(int width, int height);

  void Init(const uint8_t* image, int width, int height, int stride, int radius);
  void Release();
  bool ready() const { return !q_.empty(); }

  // Pixel (x, y) changed from `before` to `after` (3 bytes each).
  void Update(int x, int y, const uint8_t* before, const uint8_t* after);

  // Q of image row y (y = -1 gives the zero row); 3 values per pixel.
  const uint32_t* row(int y) const {
    return q_.data() + static_cast<size_t>(y + 1) * width_ * 3;
  }

 private:
  int width_ = 0, height_ = 0, radius_ = 0;
  std::vector<uint32_t> q_;  // height + 1 rows, the first all zero
};

// The bound of one target: runs of whole known window rows, with the
// target's channel sums over each run.
struct RowRunBound {
  static constexpr int kMaxRuns = 4;
  int runs = 0;
  int first_row[kMaxRuns];  // window rows a..b of each run
  int last_row[kMaxRuns];
  int32_t target[kMaxRuns][3];
};

// The bound of the candidate at column x whose window starts at image row
// top, given the row pointers hi = Q(top + b), lo = Q(top + a - 1) per run.
inline int32_t CandidateLowerBound(const RowRunBound& rb,
                                   const uint32_t* const* hi,
                                   const uint32_t* const* lo, int x) {
  int32_t bound = 0;
  for (int j = 0; j < rb.runs; ++j) {
    const uint32_t* h = hi[j] + 3 * x;
    const uint32_t* l = lo[j] + 3 * x;
    for (int c = 0; c < 3; ++c) {
      const int32_t d = rb.target[j][c] - static_cast<int32_t>(h[c] - l[c]);
      bound += d < 0 ? -d : d;
    }
  }
  return bound;
}

}  // namespace pw
