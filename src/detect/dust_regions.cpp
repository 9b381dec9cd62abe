#include "detect/dust_regions.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "detect/dust_model.h"
#include "detect/soft_edge.h"
#include "detect/tree_model.h"

namespace pw::detect {
namespace {

// How sure the pixel model must be of a region's seed and of the pixels it
// grows over.
constexpr double kSeedProbability = 0.3;
constexpr double kGrowProbability = 0.3;
// A speck's soft edge may reach this far beyond its diameter.
constexpr int32_t kSoftEdge = 4;
// Regions whose centres are this near count as neighbours; core candidates
// are counted in a box of this half side.
constexpr int32_t kNeighbourReach = 24;
constexpr int32_t kDensityReach = 16;

struct Centre {
  double x, y;
};

// How many other regions have their centre within kNeighbourReach, by a
// grid of cells that wide.
std::vector<int32_t> NeighbourCounts(const std::vector<Centre>& centres, int32_t w, int32_t h) {
  const int32_t cell = kNeighbourReach;
  const int32_t cols = w / cell + 1, rows = h / cell + 1;
  std::vector<std::vector<uint32_t>> grid(static_cast<size_t>(cols) * rows);
  auto col = [&](double x) { return std::clamp(static_cast<int32_t>(x) / cell, 0, cols - 1); };
  auto row = [&](double y) { return std::clamp(static_cast<int32_t>(y) / cell, 0, rows - 1); };
  for (uint32_t k = 0; k < centres.size(); ++k)
    grid[static_cast<size_t>(row(centres[k].y)) * cols + col(centres[k].x)].push_back(k);
  std::vector<int32_t> counts(centres.size(), 0);
  const double reach2 = double(kNeighbourReach) * kNeighbourReach;
  for (uint32_t k = 0; k < centres.size(); ++k) {
    const int32_t cx = col(centres[k].x), cy = row(centres[k].y);
    for (int32_t gy = std::max(cy - 1, 0); gy <= std::min(cy + 1, rows - 1); ++gy)
      for (int32_t gx = std::max(cx - 1, 0); gx <= std::min(cx + 1, cols - 1); ++gx)
        for (uint32_t j : grid[static_cast<size_t>(gy) * cols + gx]) {
          const double dx = centres[j].x - centres[k].x, dy = centres[j].y - centres[k].y;
          if (j != k && dx * dx + dy * dy <= reach2) ++counts[k];
        }
  }
  return counts;
}

// The pixel model's log-odds at every core candidate, and, in parallel
// rounds, at every candidate next to a likely pixel until none is new: all
// that a region can reach as it grows. NaN where not worked out.
std::vector<float> LikelyOdds(const SpeckPlanes& planes, const Probes& probes,
                              const std::vector<uint8_t>& pick,
                              const std::vector<uint8_t>& core, double grow) {
  const int32_t w = planes.luma.width, h = planes.luma.height;
  std::vector<float> odds(pick.size(), std::numeric_limits<float>::quiet_NaN());
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    ForSpeckFeatures(planes, y0, y1, core.data(), [&](size_t i, const float* f) {
      odds[i] = static_cast<float>(DustLogOdds(f, grow));
    });
  });
  constexpr int32_t kChunk = 64;  // frontier pixels a "row" of the bands
  std::vector<size_t> frontier;
  auto push_neighbours = [&](size_t i) {
    const auto x = static_cast<int32_t>(i % w), y = static_cast<int32_t>(i / w);
    for (int32_t ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny)
      for (int32_t nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
        const size_t j = static_cast<size_t>(ny) * w + nx;
        if (pick[j] && std::isnan(odds[j])) {
          odds[j] = -std::numeric_limits<float>::infinity();  // queued
          frontier.push_back(j);
        }
      }
  };
  for (size_t i = 0; i < odds.size(); ++i)
    if (odds[i] > grow) push_neighbours(i);
  while (!frontier.empty()) {
    const auto chunks = static_cast<int32_t>((frontier.size() + kChunk - 1) / kChunk);
    ForRowBands(chunks, [&](int32_t c0, int32_t c1) {
      std::array<float, kSpeckFeatureCount> f;
      const size_t end = std::min(frontier.size(), static_cast<size_t>(c1) * kChunk);
      for (size_t k = static_cast<size_t>(c0) * kChunk; k < end; ++k) {
        const size_t i = frontier[k];
        SpeckFeatures(planes, probes, static_cast<int32_t>(i % w), static_cast<int32_t>(i / w),
                      f.data());
        odds[i] = static_cast<float>(DustLogOdds(f.data(), grow));
      }
    });
    const std::vector<size_t> done = std::move(frontier);
    frontier.clear();
    for (size_t i : done)
      if (odds[i] > grow) push_neighbours(i);
  }
  return odds;
}

// A region's own features (all but its neighbours, known once every
// region is) and the pixel features of its likeliest pixel; it is grown to
// its soft edge on the way.
DustRegion DescribeRegion(const SpeckPlanes& planes, const Probes& probes,
                          std::vector<size_t> region, const std::vector<float>& odds,
                          const std::vector<uint8_t>& core, const SoftEdgeRings& rings,
                          Centre* centre) {
  const int32_t w = planes.luma.width, h = planes.luma.height;
  int64_t darker = 0;
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, odds_sum = 0;
  int32_t sure_pixels = 0, x0 = w, x1 = -1, y0 = h, y1 = -1;
  const double sure = OddsNeeded(0.9, 1.0);
  size_t likeliest = region[0];
  for (size_t i : region) {
    darker += int64_t{planes.blob.dark[i]} - planes.blob.bright[i];
    const auto x = static_cast<int32_t>(i % w), y = static_cast<int32_t>(i / w);
    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    sx += x, sy += y, sxx += double(x) * x, syy += double(y) * y, sxy += double(x) * y;
    odds_sum += odds[i];
    sure_pixels += odds[i] > sure;
    if (odds[i] > odds[likeliest] || (odds[i] == odds[likeliest] && i < likeliest))
      likeliest = i;
  }
  const int32_t sign = darker >= 0 ? 1 : -1;
  SoftEdge edge = GrowToSoftEdge(planes.luma, region, sign, rings);
  const double area = double(region.size());
  const double mx = sx / area, my = sy / area;
  // The principal spreads of the region, each pixel a unit square.
  const double vxx = sxx / area - mx * mx + 1.0 / 12, vyy = syy / area - my * my + 1.0 / 12;
  const double vxy = sxy / area - mx * my;
  const double mid = (vxx + vyy) / 2, half = std::sqrt((vxx - vyy) * (vxx - vyy) / 4 + vxy * vxy);
  int32_t dense = 0;
  const auto cx = static_cast<int32_t>(mx), cy = static_cast<int32_t>(my);
  for (int32_t y = std::max(cy - kDensityReach, 0); y <= std::min(cy + kDensityReach, h - 1); ++y)
    for (int32_t x = std::max(cx - kDensityReach, 0); x <= std::min(cx + kDensityReach, w - 1);
         ++x)
      dense += core[static_cast<size_t>(y) * w + x];

  DustRegion r;
  const float level = 1.0f / kSumUnits;
  float* f = r.features.data();
  f[0] = static_cast<float>(area);
  f[1] = static_cast<float>(x1 - x0 + 1);
  f[2] = static_cast<float>(y1 - y0 + 1);
  f[3] = static_cast<float>(area / ((x1 - x0 + 1) * (y1 - y0 + 1)));
  f[4] = static_cast<float>(std::sqrt(std::max(mid - half, 0.0) / (mid + half)));
  f[5] = odds[likeliest];
  f[6] = static_cast<float>(odds_sum / area);
  f[7] = static_cast<float>(sure_pixels / area);
  f[8] = static_cast<float>(edge.contrast) * level;
  f[9] = static_cast<float>(edge.spread) * level;
  f[10] = static_cast<float>(edge.contrast) / static_cast<float>(edge.spread + kSumUnits);
  f[11] = static_cast<float>(edge.radius);
  f[12] = static_cast<float>(edge.level) * level;
  f[13] = static_cast<float>(double(edge.pixels.size()) / area);
  f[14] = static_cast<float>(sign);
  f[15] = 0;  // neighbours
  f[16] = static_cast<float>(dense);
  SpeckFeatures(planes, probes, static_cast<int32_t>(likeliest % w),
                static_cast<int32_t>(likeliest / w), f + kDustRegionShapeCount);
  r.pixels = std::move(region);
  r.marked = std::move(edge.pixels);
  *centre = {mx, my};
  return r;
}

}  // namespace

std::vector<DustRegion> ProposeDustRegions(const PictureView& picture, int32_t max_speck) {
  const int32_t w = picture.width, h = picture.height;
  const size_t n = static_cast<size_t>(w) * h;
  const SpeckPlanes planes = MakeSpeckPlanes(picture);
  const std::vector<uint8_t> pick = SpeckCandidates(planes);
  std::vector<uint8_t> core(n);
  for (size_t i = 0; i < n; ++i) core[i] = pick[i] == 2;
  const Probes probes(planes.luma.stride);
  const double seed = OddsNeeded(kSeedProbability, 1.0);
  const double grow = OddsNeeded(kGrowProbability, 1.0);
  const std::vector<float> odds = LikelyOdds(planes, probes, pick, core, grow);

  // Regions from each seed in raster order, over likely candidates.
  const int32_t widest = max_speck + kSoftEdge;
  const SoftEdgeRings rings(max_speck);
  std::vector<DustRegion> regions;
  std::vector<Centre> centres;
  std::vector<uint8_t> seen(n, 0);
  std::vector<size_t> region;
  for (size_t start = 0; start < n; ++start) {
    if (seen[start] || !core[start] || !(odds[start] > seed)) continue;
    region.assign(1, start);
    seen[start] = 1;
    int32_t x0 = w, x1 = -1, y0 = h, y1 = -1;
    for (size_t k = 0; k < region.size(); ++k) {
      const auto x = static_cast<int32_t>(region[k] % w), y = static_cast<int32_t>(region[k] / w);
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      for (int32_t ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny)
        for (int32_t nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
          const size_t j = static_cast<size_t>(ny) * w + nx;
          if (seen[j] || !pick[j] || !(odds[j] > grow)) continue;
          seen[j] = 1;
          region.push_back(j);
        }
    }
    if (x1 - x0 >= widest || y1 - y0 >= widest) continue;
    centres.emplace_back();
    regions.push_back(DescribeRegion(planes, probes, region, odds, core, rings, &centres.back()));
  }
  const std::vector<int32_t> neighbours = NeighbourCounts(centres, w, h);
  for (size_t k = 0; k < regions.size(); ++k)
    regions[k].features[15] = static_cast<float>(neighbours[k]);
  return regions;
}

}  // namespace pw::detect
