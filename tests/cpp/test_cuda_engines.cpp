// The CUDA engines, built from the .cu sources and run on the emulated
// device, against the CPU engines: byte for byte, pass for pass, on the
// device loop and on the per-target path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"
#include "inpaint/context.h"
#include "inpaint/worker.h"
#include "reference.h"
#include "schedule/fill_list.h"

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
  p.record_sources = true;
  return p;
}

struct Outcome {
  std::vector<uint8_t> image, mask;
  uint64_t passes = 0;
  std::vector<int32_t> sources;
};

// Selects the CUDA engines' loop while it lives.
class LoopMode {
 public:
  explicit LoopMode(const char* mode) { setenv("PATCHWELL_CUDA_LOOP", mode, 1); }
  ~LoopMode() { unsetenv("PATCHWELL_CUDA_LOOP"); }
};

std::vector<int32_t> FillOrder(const RandomCase& c) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);
  return list.order;
}

// Fills the first `count` targets of the fill order (all when negative) on
// one backend, in runs of 1, 7, 30 and 200 targets; a bounded search's
// longer runs go through FillReady (batches of targets on the device loop).
Outcome FillOn(Backend backend, const EngineParams& p, const RandomCase& c,
            int count = -1) {
  const std::vector<int32_t> order = FillOrder(c);
  const int32_t end = count < 0 ? static_cast<int32_t>(order.size()) : count;
  std::unique_ptr<FillEngine> engine = CreateFillEngine(backend, p);
  engine->Start(c.image.data(), c.mask.data());
  for (int32_t begin = 0, k = 0; begin < end; ++k) {
    const int32_t length = std::min(end - begin, k % 4 == 0 ? 1 : k % 4 == 1 ? 7 : k % 4 == 2 ? 30 : 200);
    if (p.search_radius >= 0 && length > 1)
      engine->FillReady(order, begin, begin + length, c.w, p.search_radius + p.radius);
    else
      engine->FillRun(order, begin, begin + length, c.w);
    begin += length;
  }
  Outcome out{std::vector<uint8_t>(c.image.size()),
              std::vector<uint8_t>(c.mask.size()), engine->passes()};
  engine->PullImage(out.image.data());
  engine->PullMask(out.mask.data());
  if (p.record_sources) {
    out.sources.resize(c.mask.size());
    engine->PullSources(out.sources.data());
  }
  engine->Release();
  return out;
}

void ExpectSame(const Outcome& gpu, const Outcome& cpu) {
  EXPECT_EQ(gpu.image, cpu.image);
  EXPECT_EQ(gpu.mask, cpu.mask);
  EXPECT_EQ(gpu.passes, cpu.passes);
  EXPECT_EQ(gpu.sources, cpu.sources);
}

// Dots of distinct colours on a flat picture, at every 37th pixel and at
// the indices of slot 0: candidates centred on them tie at distance 0 (the
// target's own pixel is never compared), and which one wins shows in the
// result.
void AddDots(RandomCase& c) {
  for (int k = 0; k < c.w * c.h; ++k)
    if (k % 37 == 0 || k % 512 == 0)
      for (int ch = 0; ch < 3; ++ch)
        c.image[3 * k + ch] = static_cast<uint8_t>((k / 37) % 23 + 1 + ch);
}

using MethodAndLoop = std::tuple<int, const char*>;

class CudaEngines : public ::testing::TestWithParam<MethodAndLoop> {
 protected:
  int method() const { return std::get<0>(GetParam()); }
  void ExpectSameOnBoth(const RandomCase& c, const EngineParams& p) {
    const Outcome cpu = FillOn(Backend::Cpu, p, c);
    LoopMode mode(std::get<1>(GetParam()));
    ExpectSame(FillOn(Backend::Cuda, p, c), cpu);
  }
};

// Pictures of more than 512 pixels (ties across slots) and fewer, few grey
// levels (many equal distances), flat ones with dots at slot 0, holes at
// the border, specks and radius 0; from trial 12 on with a search domain:
// launches and selection over the target's box, keys and scores only inside
// the domain, clipped boxes, empty ones, and flat pictures on which the slot
// order alone decides (each slot holds several centres of the box).
TEST_P(CudaEngines, MatchTheCpuOnRandomCases) {
  std::mt19937 rng(101 + method());
  const int radii[] = {0, 1, 2, 3, 5};
  for (int trial = 0; trial < 22; ++trial) {
    const bool domain = trial >= 12, flat = trial % 4 == 3;
    const int w = flat ? 70 : 3 + static_cast<int>(rng() % 50);
    const int h = flat ? 36 : 3 + static_cast<int>(rng() % 40);
    const int r = domain ? 1 + trial % 3 : radii[trial % 5];
    RandomCase c = MakeRandomCase(rng, w, h, r, flat ? 1 : 2 + trial % 4,
                                  static_cast<int>(rng() % std::min(w, 6)),
                                  static_cast<int>(rng() % std::min(h, 6)),
                                  static_cast<int>(rng() % 10));
    if (flat) AddDots(c);
    reference::RandomDomain d;
    if (domain) d = reference::MakeRandomDomain(rng, w, h);
    if (domain && flat) {
      d.radius = trial == 15 ? -1 : w + h;
      d.allowed.assign(w * h, 1);
      for (int i = 0; i < w * h; i += 3) d.allowed[i] = 0;
    }
    EngineParams p = Params(c, method());
    p.search_radius = d.radius;
    p.source_mask = d.allowed.empty() ? nullptr : d.allowed.data();
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r << " S"
                                      << d.radius << " mask " << d.allowed.size());
    ExpectSameOnBoth(c, p);
  }
}

// A stop request between two runs of the device loop: the image and mask
// come back as the CPU leaves them after the same targets.
TEST_P(CudaEngines, StopBetweenRunsKeepsThePixelsFilledSoFar) {
  std::mt19937 rng(301);
  const RandomCase c = MakeRandomCase(rng, 45, 38, 2, 5, 6, 5, 120);
  const EngineParams p = Params(c, method());

  // Asks the worker to stop after the first run it hands over.
  struct StopAfterFirstRun : FillEngine {
    FillEngine& inner;
    InpaintContext& ctx;
    StopAfterFirstRun(FillEngine& e, InpaintContext& x) : inner(e), ctx(x) {}
    void Start(const uint8_t* image, const uint8_t* mask) override { inner.Start(image, mask); }
    void FillPixel(int32_t x, int32_t y) override { inner.FillPixel(x, y); }
    void FillRun(const std::vector<int32_t>& order, int32_t begin, int32_t end,
                 int32_t width) override {
      inner.FillRun(order, begin, end, width);
      ctx.cancel = true;
    }
    bool walks_runs() const override { return inner.walks_runs(); }
    void PullImage(uint8_t* image) override { inner.PullImage(image); }
    void PullMask(uint8_t* mask) override { inner.PullMask(mask); }
    void PullSources(int32_t* sources) override { inner.PullSources(sources); }
    void Release() noexcept override { inner.Release(); }
  };

  RandomCase result = c;
  InpaintContext ctx;
  ctx.image = result.image.data();
  ctx.mask = result.mask.data();
  ctx.width = c.w;
  ctx.height = c.h;
  ctx.stride = c.w * 3;
  ctx.radius = c.r;
  ctx.fill.order = FillOrder(c);
  ctx.fill.width = c.w;
  ctx.fill.height = c.h;
  const int32_t total = static_cast<int32_t>(ctx.fill.order.size());
  LoopMode mode(std::get<1>(GetParam()));
  std::unique_ptr<FillEngine> gpu = CreateFillEngine(Backend::Cuda, p);
  StopAfterFirstRun stopper(*gpu, ctx);
  RunFillWorker(ctx, stopper);
  ASSERT_EQ(ctx.fault, RunFault::None) << ctx.fault_message;
  EXPECT_EQ(gpu->walks_runs(), std::string(std::get<1>(GetParam())) == "device");
  ASSERT_GT(ctx.done, 0);
  ASSERT_LT(ctx.done, total);
  const Outcome cpu = FillOn(Backend::Cpu, p, c, ctx.done);
  EXPECT_EQ(result.image, cpu.image);
  EXPECT_EQ(result.mask, cpu.mask);
}

INSTANTIATE_TEST_SUITE_P(
    MethodsAndLoops, CudaEngines,
    ::testing::Combine(::testing::Values(kMethodGpu, kMethodGpuFast),
                       ::testing::Values("device", "per-target")),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == kMethodGpu ? "Exhaustive" : "Fast") +
             (std::string(std::get<1>(info.param)) == "device" ? "DeviceLoop" : "PerTarget");
    });

// The general distance with a tolerance for missing pixels (NaN included)
// and a search limit: reachable from C++ only.
// (The device loop leaves these to the per-target path.) An unknown loop
// name is refused.
TEST(CudaEngines, GeneralDistanceMatchesTheCpu) {
  std::mt19937 rng(5);
  RandomCase c = MakeRandomCase(rng, 37, 29, 2, 4, 5, 4, 8);
  for (float tol : {0.3f, 0.6f, std::nanf("")})
    for (float limit : {0.0f, 4.0f}) {
      SCOPED_TRACE(::testing::Message() << "tolerance " << tol << " limit " << limit);
      const EngineParams p = Params(c, kMethodGpu, tol, limit);
      ExpectSame(FillOn(Backend::Cuda, p, c), FillOn(Backend::Cpu, p, c));
    }
  LoopMode mode("graph");
  EXPECT_THROW(CreateFillEngine(Backend::Cuda, Params(c, kMethodGpu)),
               std::invalid_argument);
}

// The in-image part of the target window reaches the constant buffer at its
// layout position (per-target path), the whole 129 x 129 window at radius 64.
TEST(CudaEngines, TargetWindowReachesTheConstantBuffer) {
  LoopMode mode("per-target");
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
