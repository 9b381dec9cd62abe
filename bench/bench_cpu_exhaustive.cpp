// The CPU backend against the plain scalar reference, side by side in one
// process, on the same inputs:
//   A  256 x 256 photo-like picture, 24 x 24 hole, radius 7
//   B  64 x 64 crop with 40 dust specks, radius 3
// Prints both times, their ratio and the effective rate (the driver's work
// estimate divided by the elapsed time), and checks that the results are
// byte-identical. Usage: bench_cpu_exhaustive [--scalar] [--repeat N]
//                                              [--case A|B]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fill/cpu/cpu_features.h"
#include "fill/cpu/thread_count.h"
#include "fill/engine.h"
#include "inpaint/driver.h"
#include "reference_exhaustive.h"

namespace {

struct Case {
  const char* name;
  int w, h, r;
  std::vector<uint8_t> image, mask;
};

std::vector<uint8_t> PhotoLike(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 6.0);
  std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double v[3] = {128 + 90 * std::sin(x / 9.0) * std::cos(y / 13.0),
                           40 + 150.0 * (x + y) / (w + h),
                           128.0 + 60.0 * (std::sin(x / 4.0 + y / 7.0) > 0 ? 1 : -1)};
      for (int c = 0; c < 3; ++c)
        img[(static_cast<size_t>(y) * w + x) * 3 + c] =
            static_cast<uint8_t>(std::clamp(v[c] + noise(rng), 0.0, 255.0));
    }
  return img;
}

Case HoleCase() {
  Case c{"A 256x256, 24x24 hole, r7", 256, 256, 7, PhotoLike(256, 256, 1), {}};
  c.mask.assign(256 * 256, 0);
  for (int y = 116; y < 140; ++y)
    for (int x = 116; x < 140; ++x) c.mask[y * 256 + x] = 1;
  return c;
}

Case DustCase() {
  Case c{"B 64x64 crop, 40 specks, r3", 64, 64, 3, {}, {}};
  const std::vector<uint8_t> full = PhotoLike(256, 256, 2);
  c.image.resize(64 * 64 * 3);
  for (int y = 0; y < 64; ++y)
    std::memcpy(&c.image[y * 64 * 3], &full[((y + 100) * 256 + 90) * 3], 64 * 3);
  c.mask.assign(64 * 64, 0);
  std::mt19937 rng(3);
  for (int placed = 0; placed < 40;) {
    const int i = static_cast<int>(rng() % (64 * 64));
    if (c.mask[i] == 0) {
      c.mask[i] = 1;
      ++placed;
    }
  }
  return c;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool RunCase(const Case& c, int repeat) {
  int noise = 0;
  for (uint8_t m : c.mask) noise += m == 1;
  const double work = pw::WorkEstimateTeraOps(c.w, c.h, c.r, noise) * 1e12;

  std::vector<uint8_t> ref_image = c.image, ref_mask = c.mask;
  const auto t0 = std::chrono::steady_clock::now();
  const int filled = pw::reference::ReferenceInpaint(ref_image, ref_mask, c.w, c.h, c.r);
  const double ref_time = Seconds(std::chrono::steady_clock::now() - t0);

  std::vector<double> times;
  bool same = true;
  pw::InpaintOptions options;
  options.backend = pw::Backend::Cpu;
  options.escape_key = false;
  for (int k = 0; k < repeat; ++k) {
    std::vector<uint8_t> image = c.image, mask = c.mask;
    const auto t1 = std::chrono::steady_clock::now();
    pw::InpaintImage(image.data(), mask.data(), c.w, c.h, c.r, pw::kMethodGpu,
                     false, options);
    times.push_back(Seconds(std::chrono::steady_clock::now() - t1));
    same = same && image == ref_image && mask == ref_mask;
  }
  const double fast = Median(times);
  std::printf("%s: %d noise pixels, %d filled\n", c.name, noise, filled);
  std::printf("  reference (1 thread, scalar): %9.3f s  %8.1f px/s  %7.2f Gop/s\n",
              ref_time, filled / ref_time, work / ref_time / 1e9);
  std::printf("  cpu backend (median of %d):   %9.3f s  %8.1f px/s  %7.2f Gop/s\n",
              repeat, fast, filled / fast, work / fast / 1e9);
  std::printf("  ratio: %.1fx   identical: %s\n", ref_time / fast, same ? "yes" : "NO");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scalar") == 0)
      pw::LimitSimdLevel(pw::SimdLevel::Scalar);
    else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc)
      only = argv[++i];
    else {
      std::fprintf(stderr, "usage: %s [--scalar] [--repeat N] [--case A|B]\n", argv[0]);
      return 2;
    }
  }
  std::printf("threads: %d, vector level: %s\n", pw::CpuThreadCount(),
              pw::SimdLevelName(pw::ActiveSimdLevel()));
  bool ok = true;
  if (only.empty() || only == "A") ok = RunCase(HoleCase(), repeat) && ok;
  if (only.empty() || only == "B") ok = RunCase(DustCase(), repeat) && ok;
  return ok ? 0 : 1;
}
