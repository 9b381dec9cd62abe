// Thresholds that follow the local texture: in each block of the picture,
// the response that only the strongest few of its pixels reach, taken as
// the median over the block and its neighbours (so that the damage itself,
// which fills a few blocks at most, does not raise its own threshold).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pw::detect {

constexpr int32_t kBlock = 32;

struct BlockGrid {
  int32_t cols = 0, rows = 0;
  std::vector<uint32_t> value;
  uint32_t At(int32_t x, int32_t y) const {
    return value[static_cast<size_t>(y / kBlock) * cols + x / kBlock];
  }
};

struct LevelRule {
  double quantile;  // of the response in a block, 0 to 1
  double factor;    // times that quantile
  double floor;     // at least this much, in sum units
};

// threshold = max(floor, factor * quantile) / sensitivity, per block.
BlockGrid TextureThresholds(const std::vector<uint16_t>& response, int32_t width,
                            int32_t height, const LevelRule& rule, double sensitivity);

}  // namespace pw::detect
