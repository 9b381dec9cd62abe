// The CPU engines' own copy of the caller's image and mask, and the error
// they report when it cannot be made.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fill/engine.h"

namespace pw {

// Vector loads may run up to 31 bytes past a window row: the image copy
// carries this many spare bytes at its end.
constexpr size_t kImageSlack = 64;

// Copies image_bytes of image (plus zeroed slack) and pixels of mask.
// Throws std::bad_alloc.
inline void CopyRunBuffers(const uint8_t* image, size_t image_bytes,
                           const uint8_t* mask, size_t pixels,
                           std::vector<uint8_t>& image_copy,
                           std::vector<uint8_t>& mask_copy) {
  image_copy.assign(image_bytes + kImageSlack, 0);
  std::copy(image, image + image_bytes, image_copy.begin());
  mask_copy.assign(mask, mask + pixels);
}

inline DeviceMemoryError CpuMemoryError(uint64_t bytes) {
  return DeviceMemoryError(
      "CPU: cannot allocate " + std::to_string(bytes) + " bytes for the run",
      bytes);
}

}  // namespace pw
