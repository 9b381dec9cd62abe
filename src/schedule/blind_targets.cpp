#include "schedule/blind_targets.h"

#include <algorithm>

namespace pw {
namespace {

bool SeesKnown(const std::vector<uint8_t>& known, int32_t p, int32_t width,
               int32_t height, int32_t radius) {
  const int32_t x = p % width, y = p / width;
  const int32_t x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
  const int32_t y0 = std::max(0, y - radius), y1 = std::min(height - 1, y + radius);
  for (int32_t cy = y0; cy <= y1; ++cy) {
    const uint8_t* row = known.data() + static_cast<size_t>(cy) * width;
    for (int32_t cx = x0; cx <= x1; ++cx)
      if (row[cx]) return true;
  }
  return false;
}

}  // namespace

std::vector<int32_t> TakeBlindTargets(std::vector<int32_t>& order, const uint8_t* mask,
                                      int32_t width, int32_t height, int32_t radius) {
  const size_t pixels = static_cast<size_t>(width) * height;
  std::vector<uint8_t> known(pixels);
  for (size_t i = 0; i < pixels; ++i) known[i] = mask[i] != 1;
  std::vector<int32_t> blind;
  size_t kept = 0;
  for (int32_t p : order) {
    if (SeesKnown(known, p, width, height, radius)) {
      known[static_cast<size_t>(p)] = 1;
      order[kept++] = p;
    } else {
      blind.push_back(p);
    }
  }
  order.resize(kept);
  return blind;
}

}  // namespace pw
