#include "detect/texture_level.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "detect/planes.h"

namespace pw::detect {
namespace {

// The response (in sum units) reached by a share 1 - quantile of the block.
uint32_t BlockQuantile(const std::vector<uint16_t>& response, int32_t width, int32_t height,
                       int32_t bx, int32_t by, double quantile) {
  std::array<uint32_t, 256> histogram{};
  const int32_t x0 = bx * kBlock, y0 = by * kBlock;
  const int32_t x1 = std::min(width, x0 + kBlock), y1 = std::min(height, y0 + kBlock);
  for (int32_t y = y0; y < y1; ++y) {
    const uint16_t* row = response.data() + static_cast<size_t>(y) * width;
    for (int32_t x = x0; x < x1; ++x) ++histogram[std::min<uint32_t>(row[x] / kSumUnits, 255)];
  }
  const auto count = static_cast<double>((x1 - x0) * (y1 - y0));
  const auto above = static_cast<uint32_t>(std::floor(count * (1 - quantile)));
  uint32_t seen = 0;
  for (int32_t bin = 255; bin > 0; --bin) {
    seen += histogram[bin];
    if (seen > above) return static_cast<uint32_t>(bin * kSumUnits + kSumUnits / 2);
  }
  return 0;
}

}  // namespace

BlockGrid TextureThresholds(const std::vector<uint16_t>& response, int32_t width,
                            int32_t height, const LevelRule& rule, double sensitivity) {
  BlockGrid raw;
  raw.cols = (width + kBlock - 1) / kBlock;
  raw.rows = (height + kBlock - 1) / kBlock;
  raw.value.resize(static_cast<size_t>(raw.cols) * raw.rows);
  ForRowBands(raw.rows, [&](int32_t r0, int32_t r1) {
    for (int32_t by = r0; by < r1; ++by)
      for (int32_t bx = 0; bx < raw.cols; ++bx)
        raw.value[static_cast<size_t>(by) * raw.cols + bx] =
            BlockQuantile(response, width, height, bx, by, rule.quantile);
  });
  BlockGrid out = raw;
  std::vector<uint32_t> near;
  for (int32_t by = 0; by < raw.rows; ++by)
    for (int32_t bx = 0; bx < raw.cols; ++bx) {
      near.clear();
      for (int32_t y = std::max(0, by - 1); y <= std::min(raw.rows - 1, by + 1); ++y)
        for (int32_t x = std::max(0, bx - 1); x <= std::min(raw.cols - 1, bx + 1); ++x)
          near.push_back(raw.value[static_cast<size_t>(y) * raw.cols + x]);
      std::nth_element(near.begin(), near.begin() + near.size() / 2, near.end());
      const double level = std::max(rule.floor, rule.factor * near[near.size() / 2]);
      out.value[static_cast<size_t>(by) * raw.cols + bx] =
          static_cast<uint32_t>(std::lround(level / std::max(sensitivity, 1e-3)));
    }
  return out;
}

}  // namespace pw::detect
