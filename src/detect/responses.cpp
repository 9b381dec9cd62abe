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

void RingStep(const int16_t* __restrict s, int32_t w, int16_t* __restrict lo,
              int16_t* __restrict hi) {
  for (int32_t x = 0; x < w; ++x) {
    lo[x] = std::min(lo[x], s[x]);
    hi[x] = std::max(hi[x], s[x]);
  }
}

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

// Three samples along the line, at the centre and on both sides, so that
// a line that goes on stands out more than a grain or a short stroke.
// One offset across the line: the three samples on each side against the
// centre's; restrict lets the compiler keep the loop in vector registers.
void AcrossStep(const int16_t* __restrict a, const int16_t* __restrict e, ptrdiff_t along,
                const int16_t* __restrict centre, int32_t w, int16_t* __restrict d,
                int16_t* __restrict b) {
  // Sums of three samples stay below 3 * 2^12: int16 throughout.
  for (int32_t x = 0; x < w; ++x) {
    const auto sa = static_cast<int16_t>(a[x - along] + a[x] + a[x + along]);
    const auto sb = static_cast<int16_t>(e[x - along] + e[x] + e[x + along]);
    d[x] = std::max(d[x], static_cast<int16_t>(std::min(sa, sb) - centre[x]));
    b[x] = std::max(b[x], static_cast<int16_t>(centre[x] - std::max(sa, sb)));
  }
}

void LineRow(const int16_t* c, int32_t w, const std::vector<Direction>& directions,
             uint16_t* dark, uint16_t* bright, int16_t* centre, int16_t* d, int16_t* b) {
  std::fill(d, d + w, int16_t{0});
  std::fill(b, b + w, int16_t{0});
  for (const Direction& dir : directions) {
    const int16_t* p = c - dir.along;
    const int16_t* n = c + dir.along;
    for (int32_t x = 0; x < w; ++x) centre[x] = static_cast<int16_t>(p[x] + c[x] + n[x]);
    for (ptrdiff_t o : dir.across) AcrossStep(c + o, c - o, dir.along, centre, w, d, b);
  }
  for (int32_t x = 0; x < w; ++x) {
    dark[x] = static_cast<uint16_t>(d[x] / 3);
    bright[x] = static_cast<uint16_t>(b[x] / 3);
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
    std::vector<int16_t> lo(w), hi(w), d(w), b(w);
    for (int32_t y = y0; y < y1; ++y)
      BlobRow(plane.Row(y), w, rings, out.dark.data() + y * size_t(w),
              out.bright.data() + y * size_t(w), lo.data(), hi.data(), d.data(), b.data());
  });
  return out;
}

Responses LineResponses(const PaddedPlane& plane, int32_t max_width) {
  const std::vector<Direction> directions =
      LineDirections(LineDistances(max_width), plane.stride);
  Responses out = Allocate(plane);
  const int32_t w = plane.width;
  ForRowBands(plane.height, [&](int32_t y0, int32_t y1) {
    std::vector<int16_t> centre(w), d(w), b(w);
    for (int32_t y = y0; y < y1; ++y)
      LineRow(plane.Row(y), w, directions, out.dark.data() + y * size_t(w),
              out.bright.data() + y * size_t(w), centre.data(), d.data(), b.data());
  });
  return out;
}

}  // namespace pw::detect
