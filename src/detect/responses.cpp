#include "detect/responses.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pw::detect {
namespace {

inline void RingStep(const int16_t* __restrict s, int32_t w, int16_t* __restrict lo,
                     int16_t* __restrict hi) {
  for (int32_t x = 0; x < w; ++x) {
    lo[x] = std::min(lo[x], s[x]);
    hi[x] = std::max(hi[x], s[x]);
  }
}

PW_ROW_LOOPS
void BlobRow(const int16_t* c, int32_t w, const std::vector<std::vector<ptrdiff_t>>& rings,
             uint16_t* dark, uint16_t* bright, int16_t* lo, int16_t* hi, int16_t* d,
             int16_t* b) {
  std::fill(d, d + w, int16_t{0});
  std::fill(b, b + w, int16_t{0});
  for (const auto& ring : rings) {
    std::copy(c + ring[0], c + ring[0] + w, lo);
    std::copy(c + ring[0], c + ring[0] + w, hi);
    for (size_t i = 1; i < ring.size(); ++i) RingStep(c + ring[i], w, lo, hi);
    // Plane values stay below 2^12, so the differences fit in int16.
    for (int32_t x = 0; x < w; ++x) {
      d[x] = std::max(d[x], static_cast<int16_t>(lo[x] - c[x]));
      b[x] = std::max(b[x], static_cast<int16_t>(c[x] - hi[x]));
    }
  }
  std::copy(d, d + w, dark);
  std::copy(b, b + w, bright);
}

Responses Allocate(const PaddedPlane& plane) {
  const size_t n = static_cast<size_t>(plane.width) * plane.height;
  Responses r;
  r.dark.resize(n);
  r.bright.resize(n);
  return r;
}

}  // namespace

// Every pixel whose distance from the centre rounds to r: a closed ring,
// through which no line can pass unseen.
std::vector<ptrdiff_t> RingOffsets(int32_t r, ptrdiff_t stride) {
  std::vector<ptrdiff_t> offsets;
  for (int32_t dy = -r; dy <= r; ++dy)
    for (int32_t dx = -r; dx <= r; ++dx)
      if (std::lround(std::sqrt(double(dx * dx + dy * dy))) == r)
        offsets.push_back(dy * stride + dx);
  return offsets;
}

Responses BlobResponses(const PaddedPlane& plane, const std::vector<int32_t>& radii) {
  std::vector<std::vector<ptrdiff_t>> rings;
  for (int32_t r : radii) rings.push_back(RingOffsets(r, plane.stride));
  Responses out = Allocate(plane);
  const int32_t w = plane.width;
  ForRowBands(plane.height, [&](int32_t y0, int32_t y1) {
    std::vector<int16_t> lo(w), hi(w), d(w), b(w);
    for (int32_t y = y0; y < y1; ++y)
      BlobRow(plane.Row(y), w, rings, out.dark.data() + y * size_t(w),
              out.bright.data() + y * size_t(w), lo.data(), hi.data(), d.data(), b.data());
  });
  return out;
}

}  // namespace pw::detect
