#include "detect/regions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace pw::detect {
namespace {

// Calls visit(index) for the pixels within `reach` of index (a square)
// inside the picture: 1 for the 8 neighbours.
template <class Visit>
void ForNeighbours(size_t index, int32_t width, int32_t height, const Visit& visit,
                   int32_t reach = 1) {
  const auto x = static_cast<int32_t>(index % width), y = static_cast<int32_t>(index / width);
  for (int32_t dy = -reach; dy <= reach; ++dy)
    for (int32_t dx = -reach; dx <= reach; ++dx) {
      const int32_t nx = x + dx, ny = y + dy;
      if ((dx | dy) != 0 && nx >= 0 && ny >= 0 && nx < width && ny < height)
        visit(static_cast<size_t>(ny) * width + nx);
    }
}

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

void MarkSpecks(const std::vector<uint16_t>& response, const BlockGrid& threshold,
                const PaddedPlane& plane, Polarity polarity, int32_t max_speck,
                uint8_t* mask) {
  const int32_t w = plane.width, h = plane.height;
  const int32_t reach = max_speck / 2 + 2;
  std::vector<std::vector<std::pair<int32_t, int32_t>>> rings;
  for (int32_t r = 2; r <= reach; ++r) rings.push_back(RingPoints(r));
  std::vector<uint8_t> seen(static_cast<size_t>(w) * h, 0);
  std::vector<size_t> part, queue;
  auto value = [&](size_t i) { return int32_t(plane.Row(int32_t(i / w))[i % w]); };
  auto seed = [&](size_t i) {
    return response[i] > threshold.At(int32_t(i % w), int32_t(i / w));
  };
  for (size_t start = 0; start < seen.size(); ++start) {
    if (seen[start] || !seed(start)) continue;
    // The seeds of one speck, and its strongest pixel.
    part.assign(1, start);
    seen[start] = 1;
    size_t peak = start;
    for (size_t k = 0; k < part.size(); ++k) {
      if (response[part[k]] > response[peak]) peak = part[k];
      ForNeighbours(part[k], w, h, [&](size_t n) {
        if (!seen[n] && seed(n)) {
          seen[n] = 1;
          part.push_back(n);
        }
      });
    }
    const int32_t sign = polarity == Polarity::Dark ? 1 : -1;
    const auto px = int32_t(peak % w), py = int32_t(peak / w);
    const Background around = SpeckBackground(plane, px, py, sign, rings);
    // The ring median, unless the response saw the speck stand out more.
    const int32_t background =
        sign * std::max(sign * around.level, sign * value(peak) + response[peak]);
    const int32_t contrast = sign * (background - value(peak));
    const int32_t enough = std::max({kGrowFloor, contrast * kGrowShare / 100,
                                     kGrowSpreads * around.spread});
    const int32_t grow_reach = around.radius;
    // Out to the soft edge: neighbours that still differ enough.
    queue = part;
    for (size_t i : part) seen[i] = 2;
    for (size_t k = 0; k < queue.size(); ++k) {
      mask[queue[k]] = 1;
      ForNeighbours(queue[k], w, h, [&](size_t n) {
        if (seen[n] == 2) return;
        const int32_t nx = int32_t(n % w), ny = int32_t(n / w);
        if ((nx - px) * (nx - px) + (ny - py) * (ny - py) > grow_reach * grow_reach) return;
        if (sign * (background - value(n)) < enough) return;
        seen[n] = 2;
        queue.push_back(n);
      });
    }
    // Pixels grown into stay free to seed or grow another speck.
    for (size_t i : queue) seen[i] = 0;
    for (size_t i : part) seen[i] = 1;
  }
}

void Dilate(uint8_t* mask, int32_t width, int32_t height, int32_t radius) {
  if (radius <= 0) return;
  std::vector<uint8_t> rows(static_cast<size_t>(width) * height);
  // Along rows, then along columns: a count of set pixels in the window.
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* in = mask + static_cast<size_t>(y) * width;
    uint8_t* out = rows.data() + static_cast<size_t>(y) * width;
    int32_t count = 0;
    for (int32_t x = 0; x < std::min(radius, width); ++x) count += in[x] != 0;
    for (int32_t x = 0; x < width; ++x) {
      if (x + radius < width) count += in[x + radius] != 0;
      if (x - radius - 1 >= 0) count -= in[x - radius - 1] != 0;
      out[x] = count > 0;
    }
  }
  std::vector<int32_t> count(width, 0);
  for (int32_t y = 0; y < std::min(radius, height); ++y)
    for (int32_t x = 0; x < width; ++x) count[x] += rows[static_cast<size_t>(y) * width + x];
  for (int32_t y = 0; y < height; ++y) {
    if (y + radius < height)
      for (int32_t x = 0; x < width; ++x)
        count[x] += rows[static_cast<size_t>(y + radius) * width + x];
    if (y - radius - 1 >= 0)
      for (int32_t x = 0; x < width; ++x)
        count[x] -= rows[static_cast<size_t>(y - radius - 1) * width + x];
    uint8_t* out = mask + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; ++x) out[x] = count[x] > 0;
  }
}

}  // namespace pw::detect
