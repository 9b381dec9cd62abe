#include "detect/dilate.h"

#include <algorithm>
#include <vector>

namespace pw::detect {

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
