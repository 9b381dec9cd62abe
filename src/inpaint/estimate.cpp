#include "inpaint/estimate.h"

#include <algorithm>
#include <vector>

#include "fill/engine.h"
#include "inpaint/feasibility.h"
#include "schedule/regions.h"

namespace pw {

namespace {
// CPU time of the exhaustive method: per pair a fixed part and a part per
// pixel of the window side, times 1 + u^2 / 2 for a target whose window is
// a share u unknown (the box-sum bound prunes less there), and a part per
// target (its set-up and picks). Fitted to whole-picture and bounded runs
// of bench/quality_kinds.py's photos at radius 3 and 7 (dust, scratches,
// holes). GPU Fast's screen has no such bound: a fixed part and a part per
// side.
constexpr double kExhaustiveBase = 0.4e-9, kExhaustivePerSide = 0.2e-9;
constexpr double kUnknownWeight = 0.5;
constexpr double kExhaustivePerTarget = 1e-5;
constexpr double kFastBase = 6.3e-9, kFastPerSide = 1.4e-9;
constexpr double kParallelShare = 0.9;
}  // namespace

namespace {

// The smooth fill's time per pixel (one core; its sparse solves grow a
// little faster than the pixels of a piece).
constexpr double kSmoothPerPixel = 1.5e-6;
// What any run costs besides: the order, the split, the buffers.
constexpr double kRunSeconds = 3e-4;

// The pairs of a run; `weighted` also adds each target's pairs times
// 1 + kUnknownWeight u^2, u the unknown share of its window at the start.
RunForecast CountPairs(const uint8_t* mask, int32_t width, int32_t height,
                       int32_t radius, std::optional<int32_t> search_radius,
                       const uint8_t* targets, int64_t* others = nullptr,
                       double* weighted = nullptr) {
  RunForecast f;
  const int64_t w = width, h = height, r = radius;
  const int64_t s = search_radius ? *search_radius : std::max(w, h);
  // Marked pixels above and to the left of each corner (a summed-area table).
  std::vector<int64_t> above;
  if (weighted != nullptr) {
    above.assign(static_cast<size_t>((w + 1) * (h + 1)), 0);
    for (int64_t y = 0; y < h; ++y)
      for (int64_t x = 0, row = 0; x < w; ++x) {
        row += mask[y * w + x] == 1;
        above[(y + 1) * (w + 1) + x + 1] = above[y * (w + 1) + x + 1] + row;
      }
  }
  const double area = static_cast<double>((2 * r + 1) * (2 * r + 1));
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
      if (rows <= 0 || cols <= 0) continue;
      f.pairs += rows * cols;
      if (weighted == nullptr) continue;
      const int64_t x0 = std::max<int64_t>(0, x - r), x1 = std::min(w, x + r + 1);
      const int64_t y0 = std::max<int64_t>(0, y - r), y1 = std::min(h, y + r + 1);
      // Outside the picture counts as unknown, as in the fill order.
      const int64_t inside = (x1 - x0) * (y1 - y0);
      const int64_t marked = above[y1 * (w + 1) + x1] - above[y0 * (w + 1) + x1] -
                             above[y1 * (w + 1) + x0] + above[y0 * (w + 1) + x0];
      const double u = (static_cast<double>(marked) + area - static_cast<double>(inside)) / area;
      *weighted += static_cast<double>(rows * cols) * (1.0 + kUnknownWeight * u * u);
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
  double weighted = 0.0;
  const bool fast = method == kMethodGpuFast;
  RunForecast f = CountPairs(mask, width, height, radius, search_radius, targets, &smooth,
                             fast ? nullptr : &weighted);
  const double side = 2.0 * radius + 1.0;
  const double work = fast ? static_cast<double>(f.pairs) * (kFastBase + kFastPerSide * side)
                           : weighted * (kExhaustiveBase + kExhaustivePerSide * side) +
                                 static_cast<double>(f.targets) * kExhaustivePerTarget;
  const double share = threads > 1 ? kParallelShare * threads : 1.0;
  f.seconds = work / share + static_cast<double>(smooth) * kSmoothPerPixel +
              (f.targets + smooth > 0 ? kRunSeconds : 0.0);
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
