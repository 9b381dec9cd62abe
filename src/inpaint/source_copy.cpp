#include "inpaint/source_copy.h"

#include <cstring>

namespace pw {

void ResolveSources(int32_t* sources, int64_t pixels) {
  for (int64_t p = 0; p < pixels; ++p) {
    if (sources[p] < 0) continue;
    int32_t root = sources[p];
    while (sources[root] >= 0) root = sources[root];
    // Every pixel on the way now names the root directly.
    int64_t q = p;
    while (sources[q] >= 0 && sources[q] != root) {
      const int32_t next = sources[q];
      sources[q] = root;
      q = next;
    }
  }
}

void CopyFromResolvedSources(uint8_t* image, int32_t width, int32_t height,
                             size_t stride, size_t pixel_bytes,
                             const int32_t* resolved) {
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = image + static_cast<size_t>(y) * stride;
    const int32_t* from = resolved + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; ++x) {
      if (from[x] < 0) continue;
      const int32_t sy = from[x] / width, sx = from[x] - sy * width;
      std::memcpy(row + static_cast<size_t>(x) * pixel_bytes,
                  image + static_cast<size_t>(sy) * stride +
                      static_cast<size_t>(sx) * pixel_bytes,
                  pixel_bytes);
    }
  }
}

}  // namespace pw
