// The CPU engines of both methods against the literal references, step by
// step on the same cases; the exhaustive engine on hand-checked cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "fast_reference.h"
#include "fill/cpu/cpu_exhaustive.h"
#include "fill/cpu/cpu_fast.h"
#include "reference.h"
#include "schedule/fill_list.h"

namespace pw {
namespace {

using reference::MakeRandomCase;
using reference::RandomCase;

EngineParams Params(int w, int h, int r, float tol = 0.0f, float limit = 0.0f) {
  EngineParams p;
  p.width = w;
  p.height = h;
  p.stride = w * 3;
  p.radius = r;
  p.missing_tolerance = tol;
  p.search_limit = limit;
  return p;
}

// The exhaustive engine and its reference step (tolerance and search limit
// on the general distance).
struct Exhaustive {
  using Engine = CpuExhaustiveEngine;
  static constexpr int kMethod = kMethodGpu;
  struct Reference {
    RandomCase c;
    float tol, limit;
    std::vector<uint8_t>& image() { return c.image; }
    std::vector<uint8_t>& mask() { return c.mask; }
    int Step(int x, int y, const kernels::SearchDomain& domain) {
      return reference::ReferenceFillStep(c.image, c.mask, x, y, c.w, c.h, c.r, tol, limit,
                                          0, domain);
    }
    void CheckStep(const Engine&, int32_t) const {}
    void CheckEnd(const Engine&) const {}
  };
};

// The pruned engine and its reference step: the same passes, and after
// every fill the incrementally updated sums equal a fresh computation.
struct Fast {
  using Engine = CpuFastEngine;
  static constexpr int kMethod = kMethodGpuFast;
  struct Reference {
    reference::FastReference ref;
    int passes = 0;
    uint64_t total = 0;
    std::vector<float> sums;
    std::vector<int> counts;
    Reference(const RandomCase& c, float, float) : ref{c.w, c.h, c.r, c.image, c.mask} {}
    std::vector<uint8_t>& image() { return ref.image; }
    std::vector<uint8_t>& mask() { return ref.mask; }
    int Step(int x, int y, const kernels::SearchDomain& domain) {
      passes = 0;
      const int source = ref.Step(x, y, &passes, domain);
      total += static_cast<uint64_t>(passes);
      ref.FreshSums(sums, counts);
      return source;
    }
    void CheckStep(const Engine& e, int32_t p) const {
      ASSERT_EQ(e.last_passes(), passes) << "target " << p;
      ASSERT_EQ(e.sums(), sums) << "after target " << p;
      ASSERT_TRUE(std::equal(e.counts().begin(), e.counts().end(), counts.begin()))
          << "after target " << p;
    }
    void CheckEnd(const Engine& e) const { EXPECT_EQ(e.passes(), total); }
  };
};

// Fills a whole case in fill-list order on the engine, at every vector
// level this processor has, and on the reference: the same source at every
// step, the same image and mask at the end.
template <class Method>
void ExpectSameAsReference(const RandomCase& c, int threads,
                           const kernels::SearchDomain& domain = {}, float tol = 0.0f,
                           float limit = 0.0f) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);

  EngineParams params = Params(c.w, c.h, c.r, tol, limit);
  params.method = Method::kMethod;
  params.search_radius = domain.radius;
  params.source_mask = domain.allowed;
  std::vector<std::unique_ptr<typename Method::Engine>> engines;
  for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
    engines.push_back(std::make_unique<typename Method::Engine>(params, threads));
    engines.back()->set_simd_level(static_cast<SimdLevel>(level));
    engines.back()->Start(c.image.data(), c.mask.data());
  }
  typename Method::Reference ref{c, tol, limit};
  for (int32_t p : list.order) {
    const int x = p % c.w, y = p / c.w;
    const int source = ref.Step(x, y, domain);
    for (size_t level = 0; level < engines.size(); ++level) {
      SCOPED_TRACE(::testing::Message() << "level " << level);
      engines[level]->FillPixel(x, y);
      ASSERT_EQ(engines[level]->last_source(), source) << "target " << p;
      ref.CheckStep(*engines[level], p);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  for (auto& engine : engines) {
    ref.CheckEnd(*engine);
    std::vector<uint8_t> image(c.image.size()), mask(c.mask.size());
    engine->PullImage(image.data());
    engine->PullMask(mask.data());
    engine->Release();
    EXPECT_EQ(image, ref.image());
    EXPECT_EQ(mask, ref.mask());
  }
}

template <class Method>
class CpuEngines : public ::testing::Test {};
using Methods = ::testing::Types<Exhaustive, Fast>;
struct MethodNames {
  template <class T>
  static std::string GetName(int) { return std::is_same_v<T, Fast> ? "Fast" : "Exhaustive"; }
};
TYPED_TEST_SUITE(CpuEngines, Methods, MethodNames);

// Small pictures of few levels (many ties), radii up to 5; from trial 40
// on, more than 512 candidates (ties across slots and bands), many grey
// levels (keys over many buckets and passes) and window rows longer than
// one vector unit of 16 pixels.
TYPED_TEST(CpuEngines, MatchReferenceOnRandomCases) {
  std::mt19937 rng(42);
  const int radii[] = {0, 1, 2, 3, 5}, levels[] = {2, 9, 256};
  for (int trial = 0; trial < 52; ++trial) {
    const bool large = trial >= 40;
    const int w = large ? 16 + static_cast<int>(rng() % 50) : 2 + static_cast<int>(rng() % 40);
    const int h = large ? 16 + static_cast<int>(rng() % 40) : 2 + static_cast<int>(rng() % 30);
    const int r = large ? 1 + static_cast<int>(rng() % 9) : radii[rng() % 5];
    RandomCase c = MakeRandomCase(
        rng, w, h, r, large ? levels[trial % 3] : 2 + trial % 5,
        large ? 4 + static_cast<int>(rng() % 8) : static_cast<int>(rng() % std::min(w, 7)),
        large ? 3 + static_cast<int>(rng() % 8) : static_cast<int>(rng() % std::min(h, 7)),
        static_cast<int>(rng() % (large ? 14 : 10)));
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r);
    ExpectSameAsReference<TypeParam>(c, 1 + trial % 3);
  }
}

// The search domain (radius and source mask) inside the picture and near
// its border, and windows as large as the image or larger in one or both
// axes (no candidate: nothing may be filled); the exhaustive engine also on
// its general distance.
TYPED_TEST(CpuEngines, SearchDomainAndOversizedWindowsMatchReference) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 40; ++trial) {
    const bool oversized = trial % 4 == 0;
    const int r = oversized ? 2 + static_cast<int>(rng() % 20)
                            : static_cast<int>(rng() % 4);
    const int w = oversized ? 1 + static_cast<int>(rng() % (2 * r + 4))
                            : 3 + static_cast<int>(rng() % 36);
    const int h = oversized ? 1 + static_cast<int>(rng() % (2 * r + 2))
                            : 3 + static_cast<int>(rng() % 28);
    RandomCase c = MakeRandomCase(rng, w, h, r, 2 + trial % 4,
                                  static_cast<int>(rng() % std::min(w, 6)),
                                  static_cast<int>(rng() % std::min(h, 6)),
                                  static_cast<int>(rng() % 8));
    const reference::RandomDomain d = reference::MakeRandomDomain(rng, w, h);
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r << " S"
                                      << d.radius << " mask " << d.allowed.size());
    ExpectSameAsReference<TypeParam>(c, 1 + trial % 3,
                                     trial % 8 == 0 ? kernels::SearchDomain{} : d.Get());
    if (std::is_same_v<TypeParam, Exhaustive> && trial % 5 == 1)
      ExpectSameAsReference<TypeParam>(c, 2, d.Get(), 0.4f, 3.0f);
  }
}

// Blocky and mostly flat pictures: the minimum is tied across slots and,
// in the flat ones, within the winning slot (indices 512 apart). The last
// two have rows of more than 512 centres, which the exhaustive engine
// bounds group by group.
TYPED_TEST(CpuEngines, MatchReferenceWhereManyCandidatesTie) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 8; ++trial) {
    const int w = trial >= 6 ? 520 + static_cast<int>(rng() % 40)
                             : 30 + static_cast<int>(rng() % 50);
    const int h = 20 + static_cast<int>(rng() % 30);
    const int r = 1 + trial % 2;
    RandomCase c = MakeRandomCase(rng, w, h, r, 2, 5, 4, 15);
    reference::MakeBlocky(c, rng, 3 + trial % 4, 2 + trial % 3);
    if (trial % 2 == 1)  // mostly flat: the winning slot holds several
      for (int i = 0; i < w * h; ++i)
        if (rng() % 30 != 0) std::fill_n(&c.image[i * 3], 3, uint8_t{90});
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r);
    ExpectSameAsReference<TypeParam>(c, 1 + trial % 2);
  }
}

TEST(CpuEngine, OnePixelHoleTakesTheExactMatch) {
  // A 12 x 12 gradient with a unique colour at every pixel, except that the
  // 3 x 3 neighbourhood of (3, 3) is repeated around (8, 7) with another
  // centre colour. The hole at (3, 3) must take the centre of (8, 7).
  const int w = 12, h = 12;
  std::vector<uint8_t> image(w * h * 3);
  for (int i = 0; i < w * h; ++i) {
    image[i * 3] = static_cast<uint8_t>(i);
    image[i * 3 + 1] = static_cast<uint8_t>(255 - i);
    image[i * 3 + 2] = static_cast<uint8_t>(i * 3);
  }
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx)
      for (int k = 0; k < 3; ++k)
        image[((7 + dy) * w + 8 + dx) * 3 + k] =
            image[((3 + dy) * w + 3 + dx) * 3 + k];
  image[(7 * w + 8) * 3 + 0] = 200;
  image[(7 * w + 8) * 3 + 1] = 201;
  image[(7 * w + 8) * 3 + 2] = 202;
  std::vector<uint8_t> mask(w * h, 0);
  mask[3 * w + 3] = 1;

  CpuExhaustiveEngine engine(Params(w, h, 1), 2);
  engine.Start(image.data(), mask.data());
  engine.FillPixel(3, 3);
  EXPECT_EQ(engine.last_source(), 7 * w + 8);
  engine.PullImage(image.data());
  engine.PullMask(mask.data());
  EXPECT_EQ(image[(3 * w + 3) * 3 + 0], 200);
  EXPECT_EQ(image[(3 * w + 3) * 3 + 1], 201);
  EXPECT_EQ(image[(3 * w + 3) * 3 + 2], 202);
  EXPECT_EQ(mask[3 * w + 3], 0);
}

TEST(CpuEngine, RadiusZeroPicksBySlotOrder) {
  // Every known pixel scores 0: the winner is slot 0's lowest index, i.e.
  // pixel 0 when it is known.
  std::mt19937 rng(2);
  RandomCase c = MakeRandomCase(rng, 40, 30, 0, 256, 0, 0, 0);
  c.mask[500] = 1;
  CpuExhaustiveEngine engine(Params(c.w, c.h, 0), 2);
  engine.Start(c.image.data(), c.mask.data());
  engine.FillPixel(500 % 40, 500 / 40);
  EXPECT_EQ(engine.last_source(), 0);
  c.mask[0] = 1;  // pixel 0 unknown: the next multiple of 512 wins
  CpuExhaustiveEngine engine2(Params(c.w, c.h, 0), 2);
  engine2.Start(c.image.data(), c.mask.data());
  engine2.FillPixel(500 % 40, 500 / 40);
  EXPECT_EQ(engine2.last_source(), 512);
}

TEST(CpuEngine, LargeRadiusAndGeneralPathMatchReference) {
  std::mt19937 rng(9);
  // Radius above the staging buffer's 64: general distance with tolerance 0.
  RandomCase big = MakeRandomCase(rng, 140, 134, 65, 3, 2, 2, 2);
  ExpectSameAsReference<Exhaustive>(big, 2);
  // Tolerance and search limit.
  RandomCase c = MakeRandomCase(rng, 30, 25, 2, 5, 4, 3, 6);
  ExpectSameAsReference<Exhaustive>(c, 2, {}, 0.3f, 4.0f);
  ExpectSameAsReference<Exhaustive>(c, 2, {}, 0.6f, 0.0f);
}

// Pictures tall enough that the unknown counts and box sums are built in
// bands on two threads, with damage on both sides of the bands' seam.
TEST(CpuEngine, TallPicturesBuiltInBandsMatchReference) {
  std::mt19937 rng(31);
  for (int r : {1, 4}) {
    RandomCase c = MakeRandomCase(rng, 20, 200, r, 9, 0, 0, 10);
    for (int k = 0; k < 12; ++k) c.mask[(92 + rng() % 16) * 20 + rng() % 20] = 1;
    SCOPED_TRACE(::testing::Message() << "r" << r);
    ExpectSameAsReference<Exhaustive>(c, 2);
  }
}

// Windows above radius 64 are summed in float; past 2^24 the float sum
// rounds, and the fast path must give the rounded value too.
TEST(CpuEngine, LargeWindowSumsBeyondFloatPrecision) {
  const int r = 80, w = 172, h = 170;
  reference::RandomCase c{w, h, r, std::vector<uint8_t>(w * h * 3),
                          std::vector<uint8_t>(w * h, 0)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k)
        c.image[(y * w + x) * 3 + k] = ((x + y + (x * y) % 3) % 2) ? 255 : (x % 7) * 3;
  c.mask[85 * w + 86] = 1;
  ExpectSameAsReference<Exhaustive>(c, 2);
}

}  // namespace
}  // namespace pw
