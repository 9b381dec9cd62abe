// The CPU backend against hand-checked cases and the literal reference.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fill/cpu/cpu_exhaustive.h"
#include "inpaint/fill_list.h"
#include "reference.h"

namespace pw {
namespace {

using reference::MakeRandomCase;
using reference::RandomCase;
using reference::ReferenceFillStep;

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

// Fills a whole case in fill-list order with the engine and the reference.
void ExpectSameAsReference(const RandomCase& c, int threads, float tol = 0.0f,
                           float limit = 0.0f,
                           const kernels::SearchDomain& domain = {}) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);

  EngineParams params = Params(c.w, c.h, c.r, tol, limit);
  params.search_radius = domain.radius;
  params.source_mask = domain.allowed;
  CpuExhaustiveEngine engine(params, threads);
  engine.Start(c.image.data(), c.mask.data());
  std::vector<uint8_t> ref_image = c.image, ref_mask = c.mask;
  for (int32_t p : list.order) {
    const int x = p % c.w, y = p / c.w;
    engine.FillPixel(x, y);
    const int ref = ReferenceFillStep(ref_image, ref_mask, x, y, c.w, c.h, c.r,
                                      tol, limit, 0, domain);
    ASSERT_EQ(engine.last_source(), ref) << "target " << p;
  }
  std::vector<uint8_t> image(c.image.size()), mask(c.mask.size());
  engine.PullImage(image.data());
  engine.PullMask(mask.data());
  engine.Release();
  EXPECT_EQ(image, ref_image);
  EXPECT_EQ(mask, ref_mask);
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

TEST(CpuEngine, ImageNarrowerThanTheWindowFillsNothing) {
  std::mt19937 rng(1);
  RandomCase c = MakeRandomCase(rng, 6, 20, 3, 8, 1, 1, 0);
  CpuExhaustiveEngine engine(Params(c.w, c.h, c.r), 2);
  engine.Start(c.image.data(), c.mask.data());
  for (int i = 0; i < c.w * c.h; ++i)
    if (c.mask[i] == 1) engine.FillPixel(i % c.w, i / c.w);
  EXPECT_EQ(engine.last_source(), -1);
  std::vector<uint8_t> image(c.image.size()), mask(c.mask.size());
  engine.PullImage(image.data());
  engine.PullMask(mask.data());
  EXPECT_EQ(image, c.image);
  EXPECT_EQ(mask, c.mask);
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

TEST(CpuEngine, MatchesReferenceOnRandomCases) {
  std::mt19937 rng(42);
  const int radii[] = {0, 1, 2, 3, 5};
  for (int trial = 0; trial < 30; ++trial) {
    const int w = 3 + static_cast<int>(rng() % 40);
    const int h = 3 + static_cast<int>(rng() % 30);
    const int r = radii[rng() % 5];
    const int levels = trial % 3 == 0 ? 2 : 6;  // few levels: many ties
    RandomCase c = MakeRandomCase(rng, w, h, r, levels,
                                  static_cast<int>(rng() % std::min(w, 6)),
                                  static_cast<int>(rng() % std::min(h, 6)),
                                  static_cast<int>(rng() % 8));
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r);
    ExpectSameAsReference(c, 1 + trial % 3);
  }
}

// The search domain (radius and source mask) on the pruned path, near the
// border and on the general path, and windows as large as the image or
// larger in one or both axes (no candidate: nothing may be filled).
TEST(CpuEngine, SearchDomainAndOversizedWindowsMatchReference) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 40; ++trial) {
    const bool oversized = trial % 4 == 0;
    const int r = oversized ? 3 + static_cast<int>(rng() % 20)
                            : static_cast<int>(rng() % 4);
    const int w = oversized ? 1 + static_cast<int>(rng() % (2 * r + 4))
                            : 3 + static_cast<int>(rng() % 36);
    const int h = oversized ? 1 + static_cast<int>(rng() % (2 * r + 2))
                            : 3 + static_cast<int>(rng() % 28);
    RandomCase c = MakeRandomCase(rng, w, h, r, trial % 3 == 0 ? 2 : 6,
                                  static_cast<int>(rng() % std::min(w, 6)),
                                  static_cast<int>(rng() % std::min(h, 6)),
                                  static_cast<int>(rng() % 8));
    const reference::RandomDomain d = reference::MakeRandomDomain(rng, w, h);
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r << " S"
                                      << d.radius << " mask " << d.allowed.size());
    ExpectSameAsReference(c, 1 + trial % 2, 0.0f, 0.0f,
                          oversized ? kernels::SearchDomain{} : d.Get());
    if (trial % 5 == 1) ExpectSameAsReference(c, 2, 0.4f, 3.0f, d.Get());
  }
}

TEST(CpuEngine, LargeRadiusAndGeneralPathMatchReference) {
  std::mt19937 rng(9);
  // Radius above the staging buffer's 64: general distance with tolerance 0.
  RandomCase big = MakeRandomCase(rng, 140, 134, 65, 3, 2, 2, 2);
  ExpectSameAsReference(big, 2);
  // Tolerance and search limit.
  RandomCase c = MakeRandomCase(rng, 30, 25, 2, 5, 4, 3, 6);
  ExpectSameAsReference(c, 2, 0.3f, 4.0f);
  ExpectSameAsReference(c, 2, 0.6f, 0.0f);
}

}  // namespace
}  // namespace pw

namespace pw {
namespace {

void ExpectLevelMatchesReference(const reference::RandomCase& c, SimdLevel level) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);
  CpuExhaustiveEngine engine(Params(c.w, c.h, c.r), 2);
  engine.set_simd_level(level);
  engine.Start(c.image.data(), c.mask.data());
  std::vector<uint8_t> ref_image = c.image, ref_mask = c.mask;
  for (int32_t p : list.order) {
    const int x = p % c.w, y = p / c.w;
    engine.FillPixel(x, y);
    ASSERT_EQ(engine.last_source(),
              reference::ReferenceFillStep(ref_image, ref_mask, x, y, c.w, c.h, c.r))
        << "target " << p;
  }
  std::vector<uint8_t> image(c.image.size());
  engine.PullImage(image.data());
  EXPECT_EQ(image, ref_image);
}

// The pruned interior search (unknown counts, bounds, vector sums) against
// the literal reference, with vector instructions and with the scalar path.
TEST(CpuEngine, EverySimdLevelMatchesReference) {
  std::vector<SimdLevel> levels;
  for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level)
    levels.push_back(static_cast<SimdLevel>(level));
  for (SimdLevel level : levels) {
    SCOPED_TRACE(SimdLevelName(level));
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 24; ++trial) {
      const int w = 16 + static_cast<int>(rng() % 50);
      const int h = 16 + static_cast<int>(rng() % 40);
      const int r = 1 + static_cast<int>(rng() % 7);
      const int levels_of_grey = trial % 2 == 0 ? 2 : 9;  // ties, then fewer
      auto c = reference::MakeRandomCase(rng, w, h, r, levels_of_grey,
                                         4 + static_cast<int>(rng() % 8),
                                         3 + static_cast<int>(rng() % 8),
                                         static_cast<int>(rng() % 12));
      SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r);
      ExpectLevelMatchesReference(c, level);
    }
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
  for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level)
    ExpectLevelMatchesReference(c, static_cast<SimdLevel>(level));
}

}  // namespace
}  // namespace pw
