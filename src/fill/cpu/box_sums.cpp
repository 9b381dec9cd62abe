#include "fill/cpu/box_sums.h"

#include <algorithm>

namespace pw {

bool BoxSums::Affordable(int width, int height) {
  return int64_t{width} * height <= (int64_t{1} << 24);
}

void BoxSums::Init(const uint8_t* image, int width, int height, int stride,
                   int radius) {
  width_ = width;
  height_ = height;
  radius_ = radius;
  q_.assign(static_cast<size_t>(height + 1) * width * 3, 0);
  std::vector<uint32_t> box(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    const uint8_t* px = image + static_cast<size_t>(y) * stride;
    // Horizontal box sums of the row, clipped at the borders.
    for (int c = 0; c < 3; ++c) {
      uint32_t run = 0;
      for (int x = 0; x < std::min(radius, width); ++x) run += px[3 * x + c];
      for (int x = 0; x < width; ++x) {
        if (x + radius < width) run += px[3 * (x + radius) + c];
        if (x - radius - 1 >= 0) run -= px[3 * (x - radius - 1) + c];
        box[3 * x + c] = run;
      }
    }
    const uint32_t* above = row(y - 1);
    uint32_t* q = q_.data() + static_cast<size_t>(y + 1) * width * 3;
    for (int i = 0; i < width * 3; ++i) q[i] = above[i] + box[i];
  }
}

void BoxSums::Release() { std::vector<uint32_t>().swap(q_); }

void BoxSums::Update(int x, int y, const uint8_t* before, const uint8_t* after) {
  const uint32_t delta[3] = {
      static_cast<uint32_t>(after[0]) - before[0],
      static_cast<uint32_t>(after[1]) - before[1],
      static_cast<uint32_t>(after[2]) - before[2]};
  if ((delta[0] | delta[1] | delta[2]) == 0) return;
  const int x0 = std::max(x - radius_, 0);
  const int x1 = std::min(x + radius_, width_ - 1);
  for (int yy = y; yy < height_; ++yy) {
    uint32_t* q = q_.data() + static_cast<size_t>(yy + 1) * width_ * 3;
    for (int xx = x0; xx <= x1; ++xx)
      for (int c = 0; c < 3; ++c) q[3 * xx + c] += delta[c];
  }
}

}  // namespace pw
