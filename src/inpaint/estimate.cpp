#include "inpaint/estimate.h"

#include <algorithm>

#include "fill/engine.h"

namespace pw {

namespace {
// CPU time per pair measured on photo-like pictures at radius 7 (the
// benchmarks in bench/): the exhaustive search prunes most pairs, the
// pruned method pays for its bucket bookkeeping.
constexpr double kExhaustiveSecondsPerPair = 14e-9;
constexpr double kFastSecondsPerPair = 40e-9;
}  // namespace

RunForecast ForecastRun(const uint8_t* mask, int32_t width, int32_t height,
                        int32_t radius, int32_t method, int32_t search_radius,
                        int threads) {
  RunForecast f;
  const int64_t w = width, h = height, r = radius;
  const int64_t s = search_radius < 0 ? std::max(w, h) : search_radius;
  for (int64_t y = 0; y < h; ++y) {
    const int64_t rows = std::min(y + s + 1, h - r) - std::max(y - s, r);
    for (int64_t x = 0; x < w; ++x) {
      if (mask[y * w + x] != 1) continue;
      ++f.targets;
      const int64_t cols = std::min(x + s + 1, w - r) - std::max(x - s, r);
      if (rows > 0 && cols > 0) f.pairs += rows * cols;
    }
  }
  const double per_pair =
      method == kMethodGpuFast ? kFastSecondsPerPair : kExhaustiveSecondsPerPair;
  f.seconds = static_cast<double>(f.pairs) * per_pair / std::max(1, threads);
  return f;
}

}  // namespace pw
