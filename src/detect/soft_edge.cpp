#include "detect/soft_edge.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace pw::detect {
namespace {

// Growth keeps pixels that differ from the background by this share of
// the speck's contrast, and at least by kGrowFloor sum units: down to where
// the speck covers about a quarter of a pixel, beyond the grain.
constexpr int32_t kGrowShare = 25;  // percent
constexpr int32_t kGrowFloor = 5 * kSumUnits;
// ... and by this many times the spread of the ring the background was read
// on, so that a speck in a busy texture does not grow into it.
constexpr int32_t kGrowSpreads = 6;

// Offsets (dx, dy) of the pixels whose distance from the centre rounds to r.
std::vector<std::pair<int32_t, int32_t>> RingPoints(int32_t r) {
  std::vector<std::pair<int32_t, int32_t>> points;
  for (int32_t dy = -r; dy <= r; ++dy)
    for (int32_t dx = -r; dx <= r; ++dx)
      if (std::lround(std::sqrt(double(dx * dx + dy * dy))) == r) points.emplace_back(dx, dy);
  return points;
}

struct Background {
  int32_t level = 0;   // the plane's value around the speck
  int32_t spread = 0;  // the median distance of that ring's values from it
  int32_t radius = 0;  // the ring it was read on, just outside the speck
};

// The level around a speck: the median of rings about its peak, from near
// to far; the first ring almost as far from the core as the farthest is
// outside the speck (nearer ones cross its soft edge, farther ones may
// reach other things).
Background SpeckBackground(const PaddedPlane& plane, int32_t px, int32_t py, int32_t sign,
                           const std::vector<std::vector<std::pair<int32_t, int32_t>>>& rings) {
  const int32_t core = plane.Row(py)[px];
  std::vector<std::vector<int32_t>> values(rings.size());
  std::vector<int32_t> medians(rings.size());
  int32_t farthest = 0;
  for (size_t k = 0; k < rings.size(); ++k) {
    for (const auto& [dx, dy] : rings[k]) {
      const int32_t x = std::clamp(px + dx, -plane.pad, plane.width + plane.pad - 1);
      const int32_t y = std::clamp(py + dy, -plane.pad, plane.height + plane.pad - 1);
      values[k].push_back(plane.Row(y)[x]);
    }
    auto& v = values[k];
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    medians[k] = v[v.size() / 2];
    farthest = std::max(farthest, sign * (medians[k] - core));
  }
  for (size_t k = 0; k < rings.size(); ++k) {
    if (10 * sign * (medians[k] - core) < 9 * farthest) continue;
    auto& v = values[k];
    for (int32_t& e : v) e = std::abs(e - medians[k]);
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return {medians[k], v[v.size() / 2], static_cast<int32_t>(k) + 2};
  }
  return {core, 0, 2};
}

}  // namespace

SoftEdgeRings::SoftEdgeRings(int32_t max_speck) {
  for (int32_t r = 2; r <= max_speck / 2 + 2; ++r) rings.push_back(RingPoints(r));
}

SoftEdge GrowToSoftEdge(const PaddedPlane& plane, const std::vector<size_t>& speck,
                        int32_t sign, const SoftEdgeRings& around_speck) {
  const int32_t w = plane.width, h = plane.height;
  auto value = [&](size_t i) {
    return int32_t(plane.Row(static_cast<int32_t>(i / w))[i % w]);
  };
  // The speck's most extreme pixel, the first in raster order of equals.
  size_t peak = speck[0];
  for (size_t i : speck)
    if (sign * (value(peak) - value(i)) > 0 || (value(i) == value(peak) && i < peak)) peak = i;
  const auto& rings = around_speck.rings;
  const auto px = static_cast<int32_t>(peak % w), py = static_cast<int32_t>(peak / w);
  const Background around = SpeckBackground(plane, px, py, sign, rings);
  SoftEdge edge;
  edge.level = around.level;
  edge.spread = around.spread;
  edge.radius = around.radius;
  edge.contrast = std::max(0, sign * (around.level - value(peak)));
  const int32_t enough =
      std::max({kGrowFloor, edge.contrast * kGrowShare / 100, kGrowSpreads * around.spread});
  const int32_t reach = std::max(around.radius, 1);
  // What has been taken, on a grid over the speck and the disc it may
  // grow into.
  int32_t x0 = px - reach, x1 = px + reach, y0 = py - reach, y1 = py + reach;
  for (size_t i : speck) {
    const auto x = static_cast<int32_t>(i % w), y = static_cast<int32_t>(i / w);
    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
  }
  const int32_t gw = x1 - x0 + 1;
  std::vector<uint8_t> taken(static_cast<size_t>(gw) * (y1 - y0 + 1), 0);
  auto cell = [&](int32_t x, int32_t y) -> uint8_t& {
    return taken[static_cast<size_t>(y - y0) * gw + (x - x0)];
  };
  // Out from the speck over neighbours that still differ enough.
  edge.pixels = speck;
  for (size_t i : speck) cell(static_cast<int32_t>(i % w), static_cast<int32_t>(i / w)) = 1;
  for (size_t k = 0; k < edge.pixels.size(); ++k) {
    const auto x = static_cast<int32_t>(edge.pixels[k] % w);
    const auto y = static_cast<int32_t>(edge.pixels[k] / w);
    for (int32_t ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny)
      for (int32_t nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
        if ((nx - px) * (nx - px) + (ny - py) * (ny - py) > reach * reach) continue;
        const size_t n = static_cast<size_t>(ny) * w + nx;
        if (cell(nx, ny) || sign * (around.level - value(n)) < enough) continue;
        cell(nx, ny) = 1;
        edge.pixels.push_back(n);
      }
  }
  return edge;
}

}  // namespace pw::detect
