#include "detect/infrared.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "detect/planes.h"

namespace pw::detect {
namespace {

constexpr int32_t kCell = 8;  // the level is measured on cells of 8 x 8

// A drop is damage when it exceeds both this many noise deviations and this
// share of the local level (seeds), and half of each (the rest of it).
constexpr double kSeedDeviations = 6.0, kSeedShare = 0.05;

struct Grid {
  int32_t cols, rows;
  std::vector<float> v;
  float& at(int32_t x, int32_t y) { return v[static_cast<size_t>(y) * cols + x]; }
  float at(int32_t x, int32_t y) const { return v[static_cast<size_t>(y) * cols + x]; }
};

// The channel on a 16-bit scale, as it is and averaged over 3 x 3.
void Planes(const PictureView& ir, std::vector<float>& plain, std::vector<float>& out) {
  const int32_t w = ir.width, h = ir.height;
  plain.resize(static_cast<size_t>(w) * h);
  out.resize(plain.size());
  for (int32_t y = 0; y < h; ++y) {
    const auto* row = static_cast<const uint8_t*>(ir.pixels) + y * ir.row_bytes;
    for (int32_t x = 0; x < w; ++x)
      plain[static_cast<size_t>(y) * w + x] =
          ir.bits == 8 ? row[x * ir.channels] * 257.0f
                       : reinterpret_cast<const uint16_t*>(row)[x * ir.channels];
  }
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    for (int32_t y = y0; y < y1; ++y)
      for (int32_t x = 0; x < w; ++x) {
        float sum = 0;
        for (int32_t dy = -1; dy <= 1; ++dy)
          for (int32_t dx = -1; dx <= 1; ++dx)
            sum += plain[static_cast<size_t>(std::clamp(y + dy, 0, h - 1)) * w +
                         std::clamp(x + dx, 0, w - 1)];
        out[static_cast<size_t>(y) * w + x] = sum / 9;
      }
  });
}

float Median(std::vector<float>& values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The median of each cell's neighbourhood (radius in cells) on a grid.
Grid NeighbourMedian(const Grid& g, int32_t radius) {
  Grid out = g;
  std::vector<float> near;
  for (int32_t y = 0; y < g.rows; ++y)
    for (int32_t x = 0; x < g.cols; ++x) {
      near.clear();
      for (int32_t j = std::max(0, y - radius); j <= std::min(g.rows - 1, y + radius); ++j)
        for (int32_t i = std::max(0, x - radius); i <= std::min(g.cols - 1, x + radius); ++i)
          near.push_back(g.at(i, j));
      out.at(x, y) = Median(near);
    }
  return out;
}

// The grid's value at pixel (x, y), interpolated between cell centres.
float Interpolated(const Grid& g, int32_t x, int32_t y) {
  const float fx = std::clamp((float(x) + 0.5f) / kCell - 0.5f, 0.0f, float(g.cols - 1));
  const float fy = std::clamp((float(y) + 0.5f) / kCell - 0.5f, 0.0f, float(g.rows - 1));
  const auto x0 = static_cast<int32_t>(fx), y0 = static_cast<int32_t>(fy);
  const int32_t x1 = std::min(x0 + 1, g.cols - 1), y1 = std::min(y0 + 1, g.rows - 1);
  const float ax = fx - float(x0), ay = fy - float(y0);
  return (g.at(x0, y0) * (1 - ax) + g.at(x1, y0) * ax) * (1 - ay) +
         (g.at(x0, y1) * (1 - ax) + g.at(x1, y1) * ax) * ay;
}

}  // namespace

void MarkInfrared(const PictureView& ir, double sensitivity, uint8_t* mask) {
  const int32_t w = ir.width, h = ir.height;
  std::vector<float> raw, s;
  Planes(ir, raw, s);
  Grid cells{(w + kCell - 1) / kCell, (h + kCell - 1) / kCell, {}};
  cells.v.resize(static_cast<size_t>(cells.cols) * cells.rows);
  std::vector<float> values;
  auto cell_values = [&](int32_t cx, int32_t cy, const auto& f) {
    values.clear();
    for (int32_t y = cy * kCell; y < std::min(h, (cy + 1) * kCell); ++y)
      for (int32_t x = cx * kCell; x < std::min(w, (cx + 1) * kCell); ++x) values.push_back(f(x, y));
  };
  // The level: each cell's median, then the median of 5 x 5 cells, which
  // hairs and specks smaller than about 20 pixels do not move.
  for (int32_t cy = 0; cy < cells.rows; ++cy)
    for (int32_t cx = 0; cx < cells.cols; ++cx) {
      cell_values(cx, cy, [&](int32_t x, int32_t y) { return s[static_cast<size_t>(y) * w + x]; });
      cells.at(cx, cy) = Median(values);
    }
  const Grid level = NeighbourMedian(cells, 2);
  std::vector<float> drop(s.size());
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      drop[static_cast<size_t>(y) * w + x] = Interpolated(level, x, y) - s[static_cast<size_t>(y) * w + x];
  // The noise: the spread of the drop in each cell, by its median absolute
  // value, taken as the median over 5 x 5 cells.
  Grid spread = cells;
  for (int32_t cy = 0; cy < cells.rows; ++cy)
    for (int32_t cx = 0; cx < cells.cols; ++cx) {
      cell_values(cx, cy, [&](int32_t x, int32_t y) {
        return std::fabs(drop[static_cast<size_t>(y) * w + x]);
      });
      spread.at(cx, cy) = 1.4826f * Median(values);
    }
  const Grid noise = NeighbourMedian(spread, 2);
  const double scale = 1.0 / std::max(sensitivity, 1e-3);
  auto limit = [&](size_t i) {
    const auto x = int32_t(i % w), y = int32_t(i / w);
    return scale * std::max(kSeedDeviations * noise.at(x / kCell, y / kCell),
                            kSeedShare * std::max(Interpolated(level, x, y), 1.0f));
  };
  // Seeds, then everything connected to them that drops half as much, as
  // it is: the average would carry the drop a pixel too far.
  std::vector<size_t> queue;
  std::vector<uint8_t> seen(s.size(), 0);
  for (size_t i = 0; i < s.size(); ++i)
    if (drop[i] > limit(i)) {
      seen[i] = 1;
      queue.push_back(i);
    }
  for (size_t k = 0; k < queue.size(); ++k) {
    const size_t i = queue[k];
    mask[i] = 1;
    const auto x = int32_t(i % w), y = int32_t(i / w);
    for (int32_t dy = -1; dy <= 1; ++dy)
      for (int32_t dx = -1; dx <= 1; ++dx) {
        const int32_t nx = x + dx, ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const size_t n = static_cast<size_t>(ny) * w + nx;
        const float level_here = drop[n] + s[n];
        if (!seen[n] && 2 * (level_here - raw[n]) > limit(n)) {
          seen[n] = 1;
          queue.push_back(n);
        }
      }
  }
}

}  // namespace pw::detect
