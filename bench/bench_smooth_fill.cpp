// The damage split and the smooth fill on a photo-sized case, in this
// process: a 4000 x 3000 picture (RGB, 8 or 16 bits) with 3000 dust specks
// (up to 6 x 6) and five long 2 px scratches, or with --block N one N x N
// piece in its middle (a large system). Prints the times (wall) and the
// pixel counts.
//
//   bench_smooth_fill [--bits 8|16] [--block N]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fill/smooth/biharmonic.h"
#include "schedule/damage_split.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  int bits = 8, block = 0;
  for (int k = 1; k + 1 < argc; k += 2) {
    if (!std::strcmp(argv[k], "--bits")) bits = std::atoi(argv[k + 1]);
    else if (!std::strcmp(argv[k], "--block")) block = std::atoi(argv[k + 1]);
  }
  const int w = 4000, h = 3000, channels = 3, bps = bits == 16 ? 2 : 1;
  const double top = bits == 16 ? 65535 : 255;
  std::vector<uint8_t> pixels(size_t(w) * h * channels * bps);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const double v = top * (0.5 + 0.3 * std::sin(x * 0.01 + c) * std::cos(y * 0.013));
        const size_t at = ((size_t(y) * w + x) * channels + c) * bps;
        if (bps == 1) pixels[at] = uint8_t(v);
        else { const uint16_t s = uint16_t(v); std::memcpy(&pixels[at], &s, 2); }
      }

  std::vector<uint8_t> mask(size_t(w) * h, 0);
  std::mt19937 rng(3);
  if (block > 0) {
    for (int y = (h - block) / 2; y < (h + block) / 2; ++y)
      for (int x = (w - block) / 2; x < (w + block) / 2; ++x) mask[size_t(y) * w + x] = 1;
  } else {
    for (int k = 0; k < 3000; ++k) {
      const int x = 10 + int(rng() % (w - 20)), y = 10 + int(rng() % (h - 20));
      const int sw = 1 + int(rng() % 6), sh = 1 + int(rng() % 6);
      for (int dy = 0; dy < sh; ++dy)
        for (int dx = 0; dx < sw; ++dx) mask[size_t(y + dy) * w + x + dx] = 1;
    }
    for (int k = 0; k < 5; ++k) {  // long slanted scratches, 2 px wide
      const double x0 = rng() % w, slope = (double(rng() % 200) - 100) / 400;
      for (int y = 0; y < h; ++y) {
        const int x = int(x0 + slope * y);
        for (int dx = 0; dx < 2; ++dx)
          if (x + dx >= 0 && x + dx < w) mask[size_t(y) * w + x + dx] = 1;
      }
    }
  }
  size_t damaged = 0;
  for (uint8_t m : mask) damaged += m;

  auto t0 = std::chrono::steady_clock::now();
  const std::vector<uint8_t> holes = pw::HolePart(mask.data(), w, h);
  const double split = Seconds(t0);
  size_t hole = 0;
  for (uint8_t m : holes) hole += m;

  std::vector<uint8_t> state(mask);
  t0 = std::chrono::steady_clock::now();
  const int64_t filled = pw::SmoothFill(pixels.data(), w, h, channels, bps,
                                        size_t(w) * channels * bps, state.data());
  const double fill = Seconds(t0);
  std::printf("%d x %d, %d bits: %zu damaged, %zu in holes; split %.4f s; "
              "smooth fill of all %lld pixels %.4f s\n",
              w, h, bits, damaged, hole, split, static_cast<long long>(filled), fill);
  return 0;
}
