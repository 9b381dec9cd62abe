// The row scan of the exhaustive method's sums of absolute differences, by
// window radius and vector level: the time per sum of a scan over rows of
// candidates that all tie with the target (every sum runs to its last row),
// in nanoseconds and in time-stamp counter ticks. A fraction of the
// target's pixels is unknown, as for targets on the edge of a hole.
//
//   bench_window_sad [--radius R] [--simd scalar|avx2|avx512] [--unknown PERCENT]
//                    [--sums N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fill/cpu/cpu_features.h"
#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

uint64_t Ticks() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return 0;
#endif
}

// Seconds and ticks per sum at one radius.
void Run(int r, pw::SimdLevel level, int unknown_percent, long sums) {
  const int side = 2 * r + 1, cols = 96, w = cols + side + 16, h = side + 1;
  const int stride = 3 * w;
  std::vector<uint8_t> image(static_cast<size_t>(stride) * h + 64, 90), mask(w * h, 0);
  std::mt19937 rng(7);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      if (static_cast<int>(rng() % 100) < unknown_percent) mask[y * w + x] = 1;
  pw::TargetWindow target;
  target.Capture(image.data(), mask.data(), r, r, w, h, stride, r);
  std::vector<int32_t> picks(cols);
  for (int c = 0; c < cols; ++c) picks[c] = c;
  const pw::CandidateRow row{image.data(), 0, stride, picks.data(), cols, nullptr};
  const pw::RowScanFn scan = pw::SelectRowScan(level);
  pw::SlotMinimum slots;
  slots.Clear();
  std::atomic<int32_t> bound{0};
  const long rows = std::max(1L, sums / cols);
  for (long k = 0; k < rows / 10 + 1; ++k) scan(target, row, bound, slots);  // warm-up
  const auto t0 = std::chrono::steady_clock::now();
  const uint64_t c0 = Ticks();
  for (long k = 0; k < rows; ++k) scan(target, row, bound, slots);
  const uint64_t c1 = Ticks();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double n = static_cast<double>(rows) * cols;
  std::printf("r %2d  %-6s  %2zu known rows  %7.2f ns/sum  %7.1f ticks/sum\n", r,
              pw::SimdLevelName(level), target.rows().size(), 1e9 * s / n,
              static_cast<double>(c1 - c0) / n);
}

}  // namespace

int main(int argc, char** argv) {
  int radius = -1, unknown = 10;
  long sums = 20000000;
  std::string simd;
  for (int a = 1; a + 1 < argc; a += 2) {
    if (std::strcmp(argv[a], "--radius") == 0) radius = std::atoi(argv[a + 1]);
    else if (std::strcmp(argv[a], "--simd") == 0) simd = argv[a + 1];
    else if (std::strcmp(argv[a], "--unknown") == 0) unknown = std::atoi(argv[a + 1]);
    else if (std::strcmp(argv[a], "--sums") == 0) sums = std::atol(argv[a + 1]);
  }
  pw::SimdLevel level = pw::DetectedSimdLevel();
  if (simd == "scalar") level = pw::SimdLevel::Scalar;
  if (simd == "avx2") level = std::min(level, pw::SimdLevel::Avx2);
  for (int r = radius < 0 ? 1 : radius; r <= (radius < 0 ? 10 : radius); ++r)
    Run(r, level, unknown, sums);
  return 0;
}
