// The pruned method's CPU engine on one case, in this process: the time
// (wall and CPU, from getrusage), the scoring passes, and a hash of the
// resulting image and mask, so that two builds can be compared for speed
// and checked for identical output. The case is either a folder of raw
// files (image.raw of W x H x 3 bytes and mask.raw of W x H bytes, 1
// marking a pixel to fill; bench_real_size.py --write-raw DIR writes the
// real-size case to DIR/full, 4000 x 3000, and its crop to DIR/crop,
// 1024 x 1024) or the built-in photo-like picture (384 x 288, or --size)
// with a 28 x 28 hole and 200 specks.
//
//   bench_cpu_fast [--raw FOLDER --size WxH] [--radius R] [--search-radius S]
//                  [--threads N] [--simd scalar|avx2|avx512] [--repeat N]
//                  [--ready] [--method fast|exhaustive]
//
// --ready fills through FillReady (targets far enough apart side by side,
// with a search radius) instead of one FillPixel per target. --method
// exhaustive runs the exhaustive method's engine on the same case instead.
//
// For example, the real-size case on one thread:
//   bench_cpu_fast --raw DIR/full --size 4000x3000 --search-radius 48 --threads 1
// and a whole-image search of the built-in picture at 1000 x 1000:
//   bench_cpu_fast --size 1000x1000 --method exhaustive --threads 1
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fill/cpu/cpu_exhaustive.h"
#include "fill/cpu/cpu_fast.h"
#include "fill/cpu/cpu_features.h"
#include "fill/cpu/thread_count.h"
#include "schedule/fill_list.h"

namespace {

struct Case {
  int w = 384, h = 288;
  std::vector<uint8_t> image, mask;
};

bool ReadRaw(const std::string& path, size_t bytes, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  out.assign(bytes, 0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()),
                                   static_cast<std::streamsize>(bytes)));
}

// bench/common.py's photo_like picture (its own noise), a centred square
// hole and scattered specks.
Case BuiltIn(int w, int h) {
  Case c;
  c.w = w;
  c.h = h;
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 6.0);
  c.image.resize(static_cast<size_t>(c.w) * c.h * 3);
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) {
      const double v[3] = {128 + 90 * std::sin(x / 9.0) * std::cos(y / 13.0),
                           40 + 150.0 * (x + y) / (c.w + c.h),
                           128.0 + 60.0 * (std::sin(x / 4.0 + y / 7.0) > 0 ? 1 : -1)};
      for (int k = 0; k < 3; ++k)
        c.image[(static_cast<size_t>(y) * c.w + x) * 3 + k] =
            static_cast<uint8_t>(std::clamp(v[k] + noise(rng), 0.0, 255.0));
    }
  c.mask.assign(static_cast<size_t>(c.w) * c.h, 0);
  for (int y = (c.h - 28) / 2; y < (c.h + 28) / 2; ++y)
    for (int x = (c.w - 28) / 2; x < (c.w + 28) / 2; ++x) c.mask[y * c.w + x] = 1;
  for (int k = 0; k < 200; ++k) c.mask[rng() % c.mask.size()] = 1;
  return c;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

uint64_t Fnv1a(const std::vector<uint8_t>& a, uint64_t h = 1469598103934665603ull) {
  for (const uint8_t b : a) h = (h ^ b) * 1099511628211ull;
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  std::string raw, size = "384x288", simd, method = "fast";
  int radius = 7, search_radius = -1, threads = pw::CpuThreadCount(), repeat = 1;
  bool ready = false;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    const char* next = a + 1 < argc ? argv[a + 1] : "";
    if (arg == "--raw") raw = argv[++a];
    else if (arg == "--size") size = argv[++a];
    else if (arg == "--radius") radius = std::atoi(next), ++a;
    else if (arg == "--search-radius") search_radius = std::atoi(next), ++a;
    else if (arg == "--threads") threads = std::atoi(next), ++a;
    else if (arg == "--simd") simd = argv[++a];
    else if (arg == "--repeat") repeat = std::atoi(next), ++a;
    else if (arg == "--ready") ready = true;
    else if (arg == "--method") method = argv[++a];
    else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (simd == "scalar") pw::LimitSimdLevel(pw::SimdLevel::Scalar);
  if (simd == "avx2") pw::LimitSimdLevel(pw::SimdLevel::Avx2);

  Case c;
  if (std::sscanf(size.c_str(), "%dx%d", &c.w, &c.h) != 2 || c.w < 28 || c.h < 28) {
    std::fprintf(stderr, "bad --size %s\n", size.c_str());
    return 2;
  }
  if (raw.empty()) {
    c = BuiltIn(c.w, c.h);
  } else {
    const size_t n = static_cast<size_t>(c.w) * c.h;
    if (!ReadRaw(raw + "/image.raw", 3 * n, c.image) ||
        !ReadRaw(raw + "/mask.raw", n, c.mask)) {
      std::fprintf(stderr, "cannot read %s/image.raw and mask.raw of %s\n",
                   raw.c_str(), size.c_str());
      return 2;
    }
  }

  pw::FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  pw::BuildFillList(list, mask01.data(), c.w, c.h, radius);
  pw::EngineParams params;
  params.width = c.w;
  params.height = c.h;
  params.stride = 3 * c.w;
  params.radius = radius;
  const bool exhaustive = method == "exhaustive";
  params.method = exhaustive ? pw::kMethodGpu : pw::kMethodGpuFast;
  params.search_radius = search_radius;
  std::printf("%dx%d r%d search %d, %s, %zu targets, %d threads, %s%s\n", c.w, c.h,
              radius, search_radius, method.c_str(), list.order.size(), threads,
              pw::SimdLevelName(pw::ActiveSimdLevel()), ready ? ", ready targets" : "");
  for (int run = 0; run < repeat; ++run) {
    std::unique_ptr<pw::FillEngine> owned;
    if (exhaustive)
      owned = std::make_unique<pw::CpuExhaustiveEngine>(params, threads);
    else
      owned = std::make_unique<pw::CpuFastEngine>(params, threads);
    pw::FillEngine& engine = *owned;
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    engine.Start(c.image.data(), c.mask.data());
    if (ready)
      engine.FillReady(list.order, 0, static_cast<int32_t>(list.order.size()), c.w,
                       search_radius + radius);
    else
      for (const int32_t p : list.order) engine.FillPixel(p % c.w, p / c.w);
    std::vector<uint8_t> image(c.image.size()), mask(c.mask.size());
    engine.PullImage(image.data());
    engine.PullMask(mask.data());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("wall %8.3f s  cpu %8.3f s  passes %llu  hash %016llx\n", wall, cpu,
                static_cast<unsigned long long>(engine.passes()),
                static_cast<unsigned long long>(Fnv1a(mask, Fnv1a(image))));
    std::fflush(stdout);
  }
  return 0;
}
