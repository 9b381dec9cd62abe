#include "detect/responses.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pw::detect {
namespace {

// Ring radii from 2 up to beyond the largest speck's soft edge.
std::vector<int32_t> RingRadii(int32_t max_speck) {
  std::vector<int32_t> radii;
  const int32_t last = std::max(2, (max_speck + 1) / 2 + 2);
  for (int32_t r = 2; r < last; r = std::max(r + 1, r * 4 / 3)) radii.push_back(r);
  radii.push_back(last);
  return radii;
}

// Distances across a line: beyond half the widest line and its soft edge.
std::vector<int32_t> LineDistances(int32_t max_width) {
  std::vector<int32_t> d;
  for (int32_t r = 2; r <= max_width / 2 + 3; ++r) d.push_back(r);
  return d;
}

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

// For each of 8 directions of a line: the step along it (two pixels), and
// one of each pair of opposite offsets across it at each distance.
struct Direction {
  ptrdiff_t along;
  std::vector<ptrdiff_t> across;
};

std::vector<Direction> LineDirections(const std::vector<int32_t>& distances,
                                      ptrdiff_t stride) {
  std::vector<Direction> directions;
  for (int k = 0; k < 8; ++k) {
    const double a = k * M_PI / 8;
    Direction d;
    d.along = std::lround(2 * std::cos(a)) * stride - std::lround(2 * std::sin(a));
    for (int32_t r : distances) {
      const ptrdiff_t o = std::lround(r * std::sin(a)) * stride + std::lround(r * std::cos(a));
      if (std::find(d.across.begin(), d.across.end(), o) == d.across.end())
        d.across.push_back(o);
    }
    directions.push_back(d);
  }
  return directions;
}

void BlobRow(const uint16_t* c, int32_t w, const std::vector<std::vector<ptrdiff_t>>& rings,
             uint16_t* dark, uint16_t* bright, uint16_t* lo, uint16_t* hi) {
  std::fill(dark, dark + w, 0);
  std::fill(bright, bright + w, 0);
  for (const auto& ring : rings) {
    std::copy(c + ring[0], c + ring[0] + w, lo);
    std::copy(c + ring[0], c + ring[0] + w, hi);
    for (size_t i = 1; i < ring.size(); ++i) {
      const uint16_t* s = c + ring[i];
      for (int32_t x = 0; x < w; ++x) {
        lo[x] = std::min(lo[x], s[x]);
        hi[x] = std::max(hi[x], s[x]);
      }
    }
    for (int32_t x = 0; x < w; ++x) {
      const int32_t d = lo[x] - c[x], b = c[x] - hi[x];
      dark[x] = static_cast<uint16_t>(std::max<int32_t>(dark[x], d));
      bright[x] = static_cast<uint16_t>(std::max<int32_t>(bright[x], b));
    }
  }
}

// Three samples along the line, at the centre and on both sides, so that
// a line that goes on stands out more than a grain or a short stroke.
void LineRow(const uint16_t* c, int32_t w, const std::vector<Direction>& directions,
             uint16_t* dark, uint16_t* bright, uint16_t* centre) {
  std::fill(dark, dark + w, 0);
  std::fill(bright, bright + w, 0);
  for (const Direction& d : directions) {
    const uint16_t* p = c - d.along;
    const uint16_t* n = c + d.along;
    for (int32_t x = 0; x < w; ++x) centre[x] = static_cast<uint16_t>(p[x] + c[x] + n[x]);
    for (ptrdiff_t o : d.across) {
      const uint16_t* a = c + o;
      const uint16_t* b = c - o;
      for (int32_t x = 0; x < w; ++x) {
        const int32_t sa = a[x - d.along] + a[x] + a[x + d.along];
        const int32_t sb = b[x - d.along] + b[x] + b[x + d.along];
        const int32_t dv = (std::min(sa, sb) - centre[x]) / 3;
        const int32_t bv = (centre[x] - std::max(sa, sb)) / 3;
        dark[x] = static_cast<uint16_t>(std::max<int32_t>(dark[x], dv));
        bright[x] = static_cast<uint16_t>(std::max<int32_t>(bright[x], bv));
      }
    }
  }
}

Responses Allocate(const PaddedPlane& plane) {
  const size_t n = static_cast<size_t>(plane.width) * plane.height;
  Responses r;
  r.dark.resize(n);
  r.bright.resize(n);
  return r;
}

}  // namespace

int32_t ResponsePad(int32_t max_speck, int32_t max_width) {
  return std::max(RingRadii(max_speck).back(), LineDistances(max_width).back() + 2) + 1;
}

Responses BlobResponses(const PaddedPlane& plane, int32_t max_speck) {
  std::vector<std::vector<ptrdiff_t>> rings;
  for (int32_t r : RingRadii(max_speck)) rings.push_back(RingOffsets(r, plane.stride));
  Responses out = Allocate(plane);
  const int32_t w = plane.width;
  ForRowBands(plane.height, [&](int32_t y0, int32_t y1) {
    std::vector<uint16_t> lo(w), hi(w);
    for (int32_t y = y0; y < y1; ++y)
      BlobRow(plane.Row(y), w, rings, out.dark.data() + y * size_t(w),
              out.bright.data() + y * size_t(w), lo.data(), hi.data());
  });
  return out;
}

Responses LineResponses(const PaddedPlane& plane, int32_t max_width) {
  const std::vector<Direction> directions =
      LineDirections(LineDistances(max_width), plane.stride);
  Responses out = Allocate(plane);
  const int32_t w = plane.width;
  ForRowBands(plane.height, [&](int32_t y0, int32_t y1) {
    std::vector<uint16_t> centre(w);
    for (int32_t y = y0; y < y1; ++y)
      LineRow(plane.Row(y), w, directions, out.dark.data() + y * size_t(w),
              out.bright.data() + y * size_t(w), centre.data());
  });
  return out;
}

}  // namespace pw::detect
