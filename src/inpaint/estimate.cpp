#include "inpaint/estimate.h"

#include <algorithm>
#include <vector>

#include "fill/engine.h"
#include "inpaint/feasibility.h"
#include "schedule/regions.h"

namespace pw {

namespace {
// CPU time per pair, a fixed part and a part per pixel of the window side,
// fitted to runs on photo-like pictures at radius 3, 7 and 15 (the
// benchmarks in bench/); two threads share the work at about 90 %.
constexpr double kExhaustiveBase = 6.8e-9, kExhaustivePerSide = 0.7e-9;
constexpr double kFastBase = 6.3e-9, kFastPerSide = 1.4e-9;
constexpr double kParallelShare = 0.9;
}  // namespace

namespace {

// The smooth fill's time per pixel (one core; its sparse solves grow a
// little faster than the pixels of a piece).
constexpr double kSmoothPerPixel = 1.0e-6;

RunForecast CountPairs(const uint8_t* mask, int32_t width, int32_t height,
                       int32_t radius, std::optional<int32_t> search_radius,
                       const uint8_t* targets, int64_t* others = nullptr) {
  RunForecast f;
  const int64_t w = width, h = height, r = radius;
  const int64_t s = search_radius ? *search_radius : std::max(w, h);
  for (int64_t y = 0; y < h; ++y) {
    const int64_t rows = std::min(y + s + 1, h - r) - std::max(y - s, r);
    for (int64_t x = 0; x < w; ++x) {
      if (mask[y * w + x] != 1) continue;
      if (targets != nullptr && targets[y * w + x] == 0) {
        if (others != nullptr) ++*others;
        continue;
      }
      ++f.targets;
      const int64_t cols = std::min(x + s + 1, w - r) - std::max(x - s, r);
      if (rows > 0 && cols > 0) f.pairs += rows * cols;
    }
  }
  return f;
}

}  // namespace

RunForecast ForecastRun(const uint8_t* mask, int32_t width, int32_t height,
                        int32_t radius, int32_t method,
                        std::optional<int32_t> search_radius, int threads,
                        const uint8_t* targets) {
  int64_t smooth = 0;
  RunForecast f = CountPairs(mask, width, height, radius, search_radius, targets, &smooth);
  const double side = 2.0 * radius + 1.0;
  const double per_pair = method == kMethodGpuFast
                              ? kFastBase + kFastPerSide * side
                              : kExhaustiveBase + kExhaustivePerSide * side;
  const double share = threads > 1 ? kParallelShare * threads : 1.0;
  f.seconds = static_cast<double>(f.pairs) * per_pair / share +
              static_cast<double>(smooth) * kSmoothPerPixel;
  f.targets += smooth;
  return f;
}

}  // namespace pw

namespace pw {

RunForecast ForecastCudaRun(const uint8_t* mask, int32_t width, int32_t height,
                            int32_t radius, int32_t method,
                            std::optional<int32_t> search_radius,
                            const uint8_t* targets) {
  // A cost model of a current data-centre GPU, not a measurement: a fixed
  // cost per step for its launches (one for the exhaustive method, up to
  // six for GPU Fast) and a scoring cost per pair that grows with the
  // window side. A step is one target, or with a bounded search a batch of
  // targets that cannot see each other: about as many batches as the
  // longest chain of dependencies (counted here in row order, as the fill
  // order is not built yet).
  constexpr double kLaunchSeconds = 8e-6, kPairSecondsPerSide = 2.7e-12;
  int64_t smooth = 0;
  RunForecast f = CountPairs(mask, width, height, radius, search_radius, targets, &smooth);
  double steps = static_cast<double>(f.targets);
  if (search_radius) {
    const uint8_t* hole_part = targets;
    std::vector<int32_t> order;
    for (int64_t i = 0; i < int64_t{width} * height; ++i)
      if (mask[i] == 1 && (hole_part == nullptr || hole_part[i] != 0))
        order.push_back(static_cast<int32_t>(i));
    steps = DependencyChainBound(order.data(), static_cast<int32_t>(order.size()),
                                 width,
                                 *SearchDomain(search_radius, width, height) + radius);
  }
  const double launches = method == kMethodGpuFast ? 6.0 : 1.0;
  f.seconds = steps * launches * kLaunchSeconds +
              static_cast<double>(f.pairs) * kPairSecondsPerSide * (2.0 * radius + 1.0) +
              static_cast<double>(smooth) * kSmoothPerPixel;  // on the CPU
  f.targets += smooth;
  return f;
}

}  // namespace pw
