#include "image/image_limits.h"

#include <atomic>

namespace Common {
namespace {

std::atomic<int64_t>& PixelLimit() {
  static std::atomic<int64_t> limit{kDefaultMaxImagePixels};
  return limit;
}

}  // namespace

int64_t MaxImagePixels() { return PixelLimit().load(std::memory_order_relaxed); }

void SetMaxImagePixels(int64_t pixels) {
  PixelLimit().store(pixels < 1 ? 1 : pixels, std::memory_order_relaxed);
}

}  // namespace Common
