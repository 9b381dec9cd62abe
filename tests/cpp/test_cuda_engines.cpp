// The CUDA engines, built from the .cu sources and run on the emulated
// device, against the CPU engines: byte for byte, pass for pass.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"
#include "inpaint/fill_list.h"
#include "reference.h"

namespace pw {
namespace cuda {
// The constant window buffer: an ordinary array on the emulated device.
extern uint8_t pixels_const_gpu[kernels::kConstWindowBytes];
}  // namespace cuda

namespace {

using reference::MakeRandomCase;
using reference::RandomCase;

EngineParams Params(const RandomCase& c, int method, float tol = 0.0f,
                    float limit = 0.0f) {
  EngineParams p;
  p.width = c.w;
  p.height = c.h;
  p.stride = c.w * 3;
  p.radius = c.r;
  p.method = method;
  p.missing_tolerance = tol;
  p.search_limit = limit;
  return p;
}

struct Outcome {
  std::vector<uint8_t> image, mask;
  uint64_t passes = 0;
};

// Fills the case in fill-list order on one backend.
Outcome Run(Backend backend, const EngineParams& p, const RandomCase& c) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);
  std::unique_ptr<FillEngine> engine = CreateFillEngine(backend, p);
  engine->Start(c.image.data(), c.mask.data());
  for (int32_t i : list.order) engine->FillPixel(i % c.w, i / c.w);
  Outcome out{std::vector<uint8_t>(c.image.size()),
              std::vector<uint8_t>(c.mask.size()), engine->passes()};
  engine->PullImage(out.image.data());
  engine->PullMask(out.mask.data());
  engine->Release();
  return out;
}

void ExpectSameOnBoth(const RandomCase& c, const EngineParams& p) {
  const Outcome cpu = Run(Backend::Cpu, p, c);
  const Outcome gpu = Run(Backend::Cuda, p, c);
  EXPECT_EQ(gpu.image, cpu.image);
  EXPECT_EQ(gpu.mask, cpu.mask);
  EXPECT_EQ(gpu.passes, cpu.passes);
}

class CudaEngines : public ::testing::TestWithParam<int> {};

// Pictures of more than 512 pixels (ties across slots) and fewer, few grey
// levels (many equal distances), holes, specks and radius 0.
TEST_P(CudaEngines, MatchTheCpuOnRandomCases) {
  std::mt19937 rng(101 + GetParam());
  const int radii[] = {0, 1, 2, 3, 5};
  for (int trial = 0; trial < 12; ++trial) {
    const int w = 3 + static_cast<int>(rng() % 50);
    const int h = 3 + static_cast<int>(rng() % 40);
    const int r = radii[trial % 5];
    RandomCase c = MakeRandomCase(rng, w, h, r, 2 + trial % 4,
                                  static_cast<int>(rng() % std::min(w, 6)),
                                  static_cast<int>(rng() % std::min(h, 6)),
                                  static_cast<int>(rng() % 10));
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r);
    ExpectSameOnBoth(c, Params(c, GetParam()));
  }
}

// The search domain: launches and selection over the target's box, keys
// and scores only inside the domain, clipped boxes, empty ones.
TEST_P(CudaEngines, MatchTheCpuWithASearchDomain) {
  std::mt19937 rng(201 + GetParam());
  for (int trial = 0; trial < 10; ++trial) {
    const bool flat = trial % 3 == 0;
    const int w = flat ? 70 : 8 + static_cast<int>(rng() % 40);
    const int h = flat ? 40 : 8 + static_cast<int>(rng() % 30);
    const int r = 1 + trial % 3;
    // A flat picture: every candidate ties, the slot order alone decides
    // (each slot holds several centres of the box).
    RandomCase c = MakeRandomCase(rng, w, h, r, flat ? 1 : 2 + trial % 4,
                                  static_cast<int>(rng() % 6),
                                  static_cast<int>(rng() % 6),
                                  static_cast<int>(rng() % 10));
    reference::RandomDomain d = reference::MakeRandomDomain(rng, w, h);
    if (flat) {
      // Dots of distinct colours at the indices of slot 0: their windows tie
      // with every flat one, and which of them wins shows in the result.
      for (int k = 512; k < w * h; k += 512)
        for (int ch = 0; ch < 3; ++ch)
          c.image[3 * k + ch] = static_cast<uint8_t>(40 * (k / 512) + 10 * ch);
      d.radius = trial == 0 ? -1 : w + h;
      d.allowed.assign(w * h, 1);
      for (int i = 0; i < w * h; i += 3) d.allowed[i] = 0;
    }
    EngineParams p = Params(c, GetParam());
    p.search_radius = d.radius;
    p.source_mask = d.allowed.empty() ? nullptr : d.allowed.data();
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r << " S"
                                      << d.radius << " mask " << d.allowed.size());
    ExpectSameOnBoth(c, p);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, CudaEngines,
                         ::testing::Values(kMethodGpu, kMethodGpuFast),
                         [](const auto& info) {
                           return info.param == kMethodGpu ? "Exhaustive" : "Fast";
                         });

// The general distance with a tolerance for missing pixels (NaN included)
// and a search limit: reachable from C++ only.
TEST(CudaEngines, GeneralDistanceMatchesTheCpu) {
  std::mt19937 rng(5);
  RandomCase c = MakeRandomCase(rng, 37, 29, 2, 4, 5, 4, 8);
  for (float tol : {0.3f, 0.6f, std::nanf("")})
    for (float limit : {0.0f, 4.0f}) {
      SCOPED_TRACE(::testing::Message() << "tolerance " << tol << " limit " << limit);
      ExpectSameOnBoth(c, Params(c, kMethodGpu, tol, limit));
    }
}

// The in-image part of the target window reaches the constant buffer at its
// layout position, the whole 129 x 129 window at radius 64.
TEST(CudaEngines, TargetWindowReachesTheConstantBuffer) {
  std::mt19937 rng(3);
  const int r = 64, side = 2 * r + 1;
  RandomCase c = MakeRandomCase(rng, side + 7, side + 2, r, 256, 0, 0, 0);
  struct Target { int x, y; };
  for (Target t : {Target{r + 3, r + 1}, Target{0, 0}, Target{side + 6, 5}}) {
    SCOPED_TRACE(::testing::Message() << "target " << t.x << "," << t.y);
    c.mask.assign(c.mask.size(), 0);
    c.mask[t.y * c.w + t.x] = 1;
    auto engine = CreateFillEngine(Backend::Cuda, Params(c, kMethodGpu));
    engine->Start(c.image.data(), c.mask.data());
    engine->FillPixel(t.x, t.y);
    engine->Release();
    int compared = 0;
    for (int k = 0; k < side; ++k)
      for (int j = 0; j < side; ++j) {
        const int x = t.x - r + j, y = t.y - r + k;
        if (x < 0 || x >= c.w || y < 0 || y >= c.h) continue;
        for (int ch = 0; ch < 3; ++ch)
          ASSERT_EQ(cuda::pixels_const_gpu[(k * side + j) * 3 + ch],
                    c.image[(y * c.w + x) * 3 + ch])
              << "window pixel " << j << "," << k;
        ++compared;
      }
    EXPECT_GT(compared, 0);
  }
}

}  // namespace
}  // namespace pw
