// The CPU engine of the pruned method on the crops of its regions (its
// match with the literal step is in test_cpu_engine.cpp); its vector parts
// (distance sums, keys with their bound) against direct computations.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "fill/cpu/cpu_fast.h"
#include "fill/cpu/cpu_features.h"
#include "reference.h"
#include "schedule/fill_list.h"
#include "schedule/regions.h"

namespace pw {
namespace {

using reference::MakeRandomCase;
using reference::RandomCase;

EngineParams Params(int w, int h, int r) {
  EngineParams p;
  p.width = w;
  p.height = h;
  p.stride = w * 3;
  p.radius = r;
  p.method = kMethodGpuFast;
  return p;
}

// The vector sums of the distance terms against a direct sum, for windows
// of every size up to radius 30 and the largest one (radius 127), targets
// clipped by the border and with unknown pixels, and limits below and above
// the sum.
TEST(CpuFast, PatchSumsOfEveryLevelAgreeAndStopAboveTheLimit) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 160; ++trial) {
    const int r = trial == 0 ? 127 : static_cast<int>(rng() % 31), side = 2 * r + 1;
    const int w = side + 9, h = side + 4, stride = 3 * w;
    const size_t plane_size = static_cast<size_t>(w) * h + PlanarTarget::kPlaneSlack;
    std::vector<uint8_t> image(static_cast<size_t>(stride) * h), mask(w * h);
    const int levels = trial % 3 == 0 ? 256 : 4;
    for (auto& b : image) b = static_cast<uint8_t>(rng() % levels * (255 / (levels - 1)));
    for (auto& m : mask) m = rng() % 5 == 0 ? uint8_t{1} : uint8_t{0};
    std::vector<uint8_t> planes(3 * plane_size);
    SplitPlanes(image.data(), w, h, stride, plane_size, planes.data());
    // The target lies anywhere, its window partly outside the image; the
    // candidate window lies inside.
    const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
    const int cx = r + static_cast<int>(rng() % (w - 2 * r));
    const int cy = r + static_cast<int>(rng() % (h - 2 * r));
    PlanarTarget target;
    target.Capture(image.data(), mask.data(), x, y, w, h, stride, r, plane_size);
    int32_t expected = 0;
    int known = 0;
    for (int k = -r; k <= r; ++k)
      for (int j = -r; j <= r; ++j) {
        const int tx = x + j, ty = y + k;
        if (tx < 0 || tx >= w || ty < 0 || ty >= h || mask[ty * w + tx] != 0) continue;
        ++known;
        expected += kernels::abs_diff3(&image[ty * stride + 3 * tx],
                                       &image[(cy + k) * stride + 3 * (cx + j)]) / 3;
      }
    ASSERT_EQ(target.known(), known);
    const uint8_t* top_left = planes.data() + (cy - r) * w + (cx - r);
    const int32_t limit = static_cast<int32_t>(rng() % (expected + 2)) - 1;
    for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
      const PatchSumFn sum = SelectPatchSum(static_cast<SimdLevel>(level));
      SCOPED_TRACE(::testing::Message() << "r" << r << " level " << level);
      EXPECT_EQ(sum(target, top_left, INT32_MAX), expected);
      EXPECT_EQ(sum(target, top_left, limit), expected > limit ? kSumDropped : expected);
    }
  }
}

// Keys of a row of candidates at every level: the bucket of key_from_means,
// none where the window is not whole and known or the source mask forbids,
// and, under a threshold, none only where the sum of absolute differences
// over the compared positions is above it.
TEST(CpuFast, KeyRowsOfEveryLevelAgreeAndLeaveOutOnlyLosers) {
  std::mt19937 rng(17);
  int left_out = 0, kept = 0;  // under a threshold
  for (int trial = 0; trial < 60; ++trial) {
    const int r = 1 + static_cast<int>(rng() % 3), side = 2 * r + 1;
    const int w = side + 30 + static_cast<int>(rng() % 20), h = side + 3, stride = 3 * w;
    const size_t n = static_cast<size_t>(w) * h, plane_size = n + PlanarTarget::kPlaneSlack;
    std::vector<uint8_t> image(3 * n), mask(n), allowed(n), planes(3 * plane_size);
    for (auto& b : image) b = static_cast<uint8_t>(60 + rng() % 4 * 20);
    for (auto& m : mask) m = rng() % 12 == 0 ? uint8_t{1} : uint8_t{0};
    for (auto& a : allowed) a = static_cast<uint8_t>(rng() % 4);
    SplitPlanes(image.data(), w, h, stride, plane_size, planes.data());
    std::vector<float> sums(3 * n), means(3 * n, 0.0f);
    std::vector<int32_t> counts(n);
    for (size_t i = 0; i < n; ++i) {
      kernels::window_sums(image.data(), mask.data(), w, h, stride, r, sums.data(),
                           counts.data(), static_cast<int>(i));
      for (int c = 0; c < 3 && counts[i] == side * side; ++c)
        means[c * n + i] = kernels::fdiv_rn(sums[3 * i + c], static_cast<float>(counts[i]));
    }
    const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
    const size_t t = static_cast<size_t>(y) * w + x;
    if (counts[t] == 0) continue;
    std::vector<int32_t> uncompared;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx)
        if (x + dx < 0 || x + dx >= w || y + dy < 0 || y + dy >= h ||
            mask[(y + dy) * w + x + dx] != 0)
          uncompared.push_back(dy * w + dx);
    const int cy = r + static_cast<int>(rng() % (h - 2 * r));
    const size_t first = static_cast<size_t>(cy) * w + r;
    KeyRow row;
    for (int c = 0; c < 3; ++c) {
      row.means[c] = means.data() + c * n + first;
      row.target[c] = kernels::fdiv_rn(sums[3 * t + c], static_cast<float>(counts[t]));
      row.target_sums[c] = static_cast<int32_t>(sums[3 * t + c]);
    }
    row.counts = counts.data() + first;
    row.allowed = trial % 2 == 0 ? allowed.data() + first : nullptr;
    row.count = w - 2 * r;
    row.whole = side * side;
    if (trial % 4 != 3) {
      row.threshold = static_cast<int32_t>(rng() % (60 * counts[t]));
      row.centres = planes.data() + first;
      row.plane_size = plane_size;
      row.uncompared = uncompared.data();
      row.uncompared_count = static_cast<int>(uncompared.size());
    }
    std::vector<uint8_t> expected(row.count);
    KeyRowScalar(row, expected.data());
    for (int k = 0; k < row.count; ++k) {
      const size_t i = first + k;
      SCOPED_TRACE(::testing::Message() << "trial " << trial << " candidate " << k);
      const bool candidate = counts[i] == side * side && (row.allowed == nullptr || row.allowed[k] != 0);
      if (!candidate) {
        EXPECT_EQ(expected[k], kNoBucket);
        continue;
      }
      int32_t sad = 0;
      for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
          const int tx = x + dx, ty = y + dy;
          if (tx < 0 || tx >= w || ty < 0 || ty >= h || mask[ty * w + tx] != 0) continue;
          for (int c = 0; c < 3; ++c)
            sad += std::abs(image[(ty * w + tx) * 3 + c] -
                            image[((cy + dy) * w + r + k + dx) * 3 + c]);
        }
      const int key = static_cast<int>(kernels::key_from_means(
          means[i], means[n + i], means[2 * n + i], row.target[0], row.target[1], row.target[2]));
      if (expected[k] == kNoBucket) {
        EXPECT_GT(sad, row.threshold);
        ++left_out;
      } else {
        EXPECT_EQ(expected[k], key / kernels::kBucketWidth);
        kept += row.threshold != INT32_MAX;
      }
    }
    for (int level = 1; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
      std::vector<uint8_t> buckets(row.count);
      const uint32_t bits = SelectKeyRow(static_cast<SimdLevel>(level))(row, buckets.data());
      EXPECT_EQ(buckets, expected) << "level " << level;
      EXPECT_EQ(bits, KeyRowScalar(row, buckets.data())) << "level " << level;
    }
  }
  EXPECT_GT(left_out, 50);
  EXPECT_GT(kept, 50);
}

// What a run leaves: image, mask, source map and passes.
struct Filled {
  std::vector<uint8_t> image, mask;
  std::vector<int32_t> sources;
  uint64_t passes = 0;
};

EngineParams DomainParams(const RandomCase& c, int search_radius,
                          const std::vector<uint8_t>& allowed) {
  EngineParams p = Params(c.w, c.h, c.r);
  p.search_radius = search_radius;
  p.source_mask = allowed.empty() ? nullptr : allowed.data();
  p.record_sources = true;
  return p;
}

// Fills `order` with FillReady on `threads` threads, in two stretches (the
// second begins where the first ends), or with one FillPixel per target.
Filled Fill(const RandomCase& c, const EngineParams& p,
            const std::vector<int32_t>& order, int threads, bool ready) {
  CpuFastEngine engine(p, threads);
  engine.Start(c.image.data(), c.mask.data());
  const int32_t n = static_cast<int32_t>(order.size()), reach = p.search_radius + p.radius;
  if (ready) {
    engine.FillReady(order, 0, n / 3, c.w, reach);
    engine.FillReady(order, n / 3, n, c.w, reach);
  } else {
    for (int32_t t : order) engine.FillPixel(t % c.w, t / c.w);
  }
  Filled f{std::vector<uint8_t>(c.image.size()), std::vector<uint8_t>(c.mask.size()),
           std::vector<int32_t>(c.mask.size()), engine.passes()};
  engine.PullImage(f.image.data());
  engine.PullMask(f.mask.data());
  engine.PullSources(f.sources.data());
  return f;
}

std::vector<int32_t> FillOrder(const RandomCase& c) {
  FillList list;
  std::vector<uint8_t> mask01 = c.mask;
  BuildFillList(list, mask01.data(), c.w, c.h, c.r);
  return list.order;
}

// Each region on a crop of its box fills its targets as the whole picture
// does. The pictures are blocky or flat, so that the minimum ties among
// many candidates and only picture indices break the ties alike.
TEST(CpuFast, RegionOnACropMatchesTheWholePicture) {
  std::mt19937 rng(43);
  for (int trial = 0; trial < 8; ++trial) {
    const int r = 1 + trial % 2;
    const int w = 60 + static_cast<int>(rng() % 60), h = 40 + static_cast<int>(rng() % 30);
    RandomCase c = MakeRandomCase(rng, w, h, r, 2, 4, 3, 14);
    reference::MakeBlocky(c, rng, 3 + trial % 4, 2 + trial % 3);
    if (trial % 2 == 1)
      for (int i = 0; i < w * h; ++i)
        if (rng() % 30 != 0) std::fill_n(&c.image[i * 3], 3, uint8_t{90});
    std::vector<uint8_t> allowed;
    if (trial % 4 >= 2) {
      allowed.resize(c.mask.size());
      for (auto& a : allowed) a = rng() % 5 == 0 ? 0 : 1;
    }
    const int s = r + 1 + static_cast<int>(rng() % 6);
    SCOPED_TRACE(::testing::Message() << w << "x" << h << " r" << r << " S" << s);
    const std::vector<int32_t> order = FillOrder(c);
    const Filled whole = Fill(c, DomainParams(c, s, allowed), order, 1, false);
    uint64_t passes = 0;
    for (const FillRegion& region : SplitIntoRegions(order, w, h, s + r)) {
      const PixelBox& b = region.box;
      RandomCase crop{b.width(), b.height(), r, {}, {}};
      std::vector<uint8_t> crop_allowed;
      for (int y = b.y0; y < b.y1; ++y) {
        const size_t row = static_cast<size_t>(y) * w;
        crop.image.insert(crop.image.end(), &c.image[3 * (row + b.x0)], &c.image[3 * (row + b.x1)]);
        crop.mask.insert(crop.mask.end(), &c.mask[row + b.x0], &c.mask[row + b.x1]);
        if (!allowed.empty())
          crop_allowed.insert(crop_allowed.end(), &allowed[row + b.x0], &allowed[row + b.x1]);
      }
      EngineParams q = DomainParams(crop, s, crop_allowed);
      q.picture_width = w;
      q.crop_x0 = b.x0;
      q.crop_y0 = b.y0;
      const CropIndex index(q);
      std::vector<int32_t> crop_order;
      for (int32_t t : region.order) crop_order.push_back(index.ToCrop(t));
      const Filled got = Fill(crop, q, crop_order, 1 + trial % 2, true);
      passes += got.passes;
      for (size_t k = 0; k < crop_order.size(); ++k) {
        const int32_t t = region.order[k], i = crop_order[k];
        SCOPED_TRACE(::testing::Message() << "target " << t);
        ASSERT_EQ(got.mask[i], whole.mask[t]);
        ASSERT_EQ(got.sources[i] < 0 ? -1 : index.ToPicture(got.sources[i]), whole.sources[t]);
        ASSERT_TRUE(std::equal(&got.image[3 * i], &got.image[3 * i + 3], &whole.image[3 * t]));
      }
    }
    EXPECT_EQ(passes, whole.passes);
  }
}

}  // namespace
}  // namespace pw
