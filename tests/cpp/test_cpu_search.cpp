// Building blocks of the CPU search: box sums kept up to date, vector and
// scalar sums of absolute differences, and the lower bound they allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

#include "fill/cpu/bound_picks.h"
#include "fill/cpu/box_group_ranges.h"
#include "fill/cpu/box_sum_bound.h"
#include "fill/cpu/box_sums.h"
#include "fill/cpu/candidate_picks.h"
#include "fill/cpu/cpu_features.h"
#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/target_window.h"
#include "fill/cpu/thread_pool.h"

namespace pw {
namespace {

// Built on one thread or in blocks on two, then updated: whole, or (as
// threads apply them side by side) block by block; the group ranges
// follow each change and end equal to ranges made afresh.
class BoxSumsBuilt : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Threads, BoxSumsBuilt, ::testing::Values(1, 2));

TEST_P(BoxSumsBuilt, UpdatesEqualAFreshComputation) {
  std::mt19937 rng(21);
  const int w = 37, h = 2 * BoxSums::kBlockRows + 9, r = 4, stride = w * 3;
  std::vector<uint8_t> image(stride * h);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  BoxSums sums;
  ThreadPool pool(GetParam());
  sums.Init(image.data(), w, h, stride, r, GetParam() > 1 ? &pool : nullptr);
  BoxGroupRanges groups;
  groups.Init(sums, h);
  for (int step = 0; step < 200; ++step) {
    const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
    uint8_t* px = &image[y * stride + x * 3];
    const uint8_t before[3] = {px[0], px[1], px[2]};
    for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(rng());
    if (GetParam() == 1) {
      sums.Update(x, y, before, px);
    } else {
      for (int b = 0; b < sums.blocks(); ++b) sums.Update(x, y, before, px, b, b + 1);
    }
    groups.Update(sums, x, y, r);
  }
  BoxSums fresh_sums;
  fresh_sums.Init(image.data(), w, h, stride, r);
  BoxGroupRanges fresh;
  fresh.Init(fresh_sums, h);
  const size_t row = 6 * static_cast<size_t>(groups.stride());
  for (int y = 0; y < h; ++y) {
    ASSERT_EQ(std::vector<uint16_t>(groups.q(y), groups.q(y) + row),
              std::vector<uint16_t>(fresh.q(y), fresh.q(y) + row)) << "row " << y;
    ASSERT_EQ(std::vector<uint16_t>(groups.p(y), groups.p(y) + row),
              std::vector<uint16_t>(fresh.p(y), fresh.p(y) + row)) << "row " << y;
  }
  // Every run of rows up to the longest of every column and channel equals
  // a direct sum of the changed image (rows cross the blocks of the kept
  // sums).
  const int longest = BoxSums::MaxRunRows(r);
  ASSERT_EQ(longest, 28);  // 28 rows of 9 bytes of 255 stay below 2^16
  for (int y0 = 0; y0 < h; ++y0)
    for (int y1 = y0; y1 < std::min(h, y0 + longest); y1 += 1 + y1 % 7)
      for (int cx = 0; cx < w; cx += 3)
        for (int c = 0; c < 3; ++c) {
          uint32_t direct = 0;
          for (int y = y0; y <= y1; ++y)
            for (int x = std::max(cx - r, 0); x <= std::min(cx + r, w - 1); ++x)
              direct += image[y * stride + x * 3 + c];
          ASSERT_EQ(sums.RowsSum(y0, y1, cx, c), direct) << y0 << ".." << y1;
        }
}

// Pixels filled side by side: until the stretch ends every centre whose
// window holds one gets no bound; after it (the changes applied by blocks
// on two threads) the bounds are those of sums built afresh.
TEST(BoxSums, SideBySideFillsLeaveNoBoundUntilTheStretchEnds) {
  std::mt19937 rng(26);
  const int w = 70, h = 2 * BoxSums::kBlockRows + 22, r = 3, stride = w * 3;
  std::vector<uint8_t> image(stride * h + 64), mask(w * h, 0);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  mask[r * w + r] = 1;
  TargetWindow target;
  target.Capture(image.data(), mask.data(), r, r, w, h, stride, r);
  BoxSumBound bound;
  bound.Init(image.data(), w, h, stride, r);
  RowRunBound runs;
  bound.Prepare(target, &runs);
  ASSERT_GT(runs.runs, 0);
  ThreadPool pool(2);
  bound.BeginSideBySide(2);
  const int filled[][2] = {{15, 63}, {40, 7}, {66, 100}};
  for (int k = 0; k < 3; ++k) {
    uint8_t* px = &image[filled[k][1] * stride + 3 * filled[k][0]];
    const uint8_t before[3] = {px[0], px[1], px[2]};
    for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(px[c] + 100);
    bound.Changed(k % 2, filled[k][0], filled[k][1], before, px);
  }
  const int count = w - 2 * r;
  std::vector<int32_t> out(count), fresh(count);
  for (int cy = r; cy < h - r; ++cy) {
    bound.Row(runs, cy, r, count, out.data());
    for (int k = 0; k < count; ++k)
      for (const auto& f : filled)
        if (std::abs(r + k - f[0]) <= r && std::abs(cy - f[1]) <= r) {
          ASSERT_EQ(out[k], 0) << "centre " << r + k << "," << cy;
        }
  }
  bound.EndSideBySide(&pool);
  BoxSumBound rebuilt;
  rebuilt.Init(image.data(), w, h, stride, r);
  for (int cy = r; cy < h - r; ++cy) {
    bound.Row(runs, cy, r, count, out.data());
    rebuilt.Row(runs, cy, r, count, fresh.data());
    ASSERT_EQ(out, fresh) << "row " << cy;
  }
}

// The vector bounds (runs within one block of the kept sums or across,
// counts that are no multiple of 8) and the picks they lead to equal the
// scalar ones; so do the picks of the fused pass on every level, with and
// without group bounds (rows of 1 to 2 blocks of 32 groups, cut anywhere),
// each pick with its bound. A group's bound is at most the bound of each of
// its centres.
TEST(BoxSums, VectorBoundsAndPicksEqualTheScalarOnes) {
  std::mt19937 rng(23);
  const int w = 600, h = 2 * BoxSums::kBlockRows + 20, r = 3, stride = w * 3;
  std::vector<uint8_t> image(stride * h);
  // Smooth rows with noise, so that some groups are bounded above the limit.
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        image[y * stride + 3 * x + c] = static_cast<uint8_t>((x * (c + 1) + y) / 3 + rng() % 24);
  BoxSums sums;
  sums.Init(image.data(), w, h, stride, r);
  BoxGroupRanges groups;
  groups.Init(sums, h);
  const int top = static_cast<int>(DetectedSimdLevel());
  int skipped = 0, live = 0;
  for (int trial = 0; trial < 400; ++trial) {
    RowRunBound rb;
    rb.runs = 1 + static_cast<int>(rng() % RowRunBound::kMaxRuns);
    for (int j = 0; j < rb.runs; ++j) {
      rb.first_row[j] = static_cast<int>(rng() % (2 * r + 1));
      rb.last_row[j] = rb.first_row[j] + static_cast<int>(rng() % (2 * r + 1 - rb.first_row[j]));
      // Now and then targets far from every run: bounds past 2^16 - 1 are capped.
      for (int c = 0; c < 3; ++c)
        rb.target[j][c] = static_cast<int32_t>(rng() % (trial % 8 == 5 ? 65536 : 6000));
    }
    const int cy = r + static_cast<int>(rng() % (h - 2 * r));
    const int count = 1 + static_cast<int>(rng() % (trial % 2 ? 56 : w));
    const int x0 = static_cast<int>(rng() % (w - count + 1));
    std::vector<int32_t> scalar(count), vector(count), unknown(count);
    std::vector<uint8_t> blocked(count);
    RowLowerBoundsScalar(rb, sums, cy, r, x0, count, scalar.data());
    for (int level = 1; level <= top; ++level) {
      SelectRowLowerBounds(static_cast<SimdLevel>(level))(rb, sums, cy, r, x0, count,
                                                          vector.data());
      ASSERT_EQ(vector, scalar) << "row " << cy << ", count " << count << ", level " << level;
    }
    for (int c = 0; c < count; ++c) {
      blocked[c] = rng() % 5 == 0;
      unknown[c] = rng() % 5 == 0 ? 3 : 0;
    }
    const int32_t limit = static_cast<int32_t>(rng() % 8000);
    std::vector<int32_t> a(count + 8);
    for (const int32_t* lower : {static_cast<const int32_t*>(scalar.data()), static_cast<const int32_t*>(nullptr)}) {
      const int n = PickCandidatesScalar(blocked.data(), unknown.data(), lower, limit,
                                         count, a.data());
      for (int level = 1; level <= top; ++level) {
        // Room for count + 8 picks, as the engine gives.
        std::vector<int32_t> b(count + 8, -7);
        ASSERT_EQ(SelectPickCandidates(static_cast<SimdLevel>(level))(
                      blocked.data(), unknown.data(), lower, limit, count, b.data()),
                  n);
        EXPECT_EQ(std::vector<int32_t>(b.begin(), b.begin() + n),
                  std::vector<int32_t>(a.begin(), a.begin() + n)) << "level " << level;
      }
      int expected = 0;
      for (int c = 0; c < count; ++c)
        expected += !blocked[c] && !unknown[c] && (!lower || lower[c] <= limit);
      EXPECT_EQ(n, expected);
    }
    // The fused pass against the picks of the scalar bounds (a, as last
    // made with them).
    const int n = PickCandidatesScalar(blocked.data(), unknown.data(), scalar.data(), limit,
                                       count, a.data());
    const std::vector<int32_t> expected(a.begin(), a.begin() + n);
    for (int level = 0; level <= top; ++level)
      for (const BoxGroupRanges* g : {static_cast<const BoxGroupRanges*>(&groups), static_cast<const BoxGroupRanges*>(nullptr)}) {
        const BoundPickRow row{&rb, &sums, g, cy, r, x0, count, blocked.data(), unknown.data(),
                               limit};
        std::vector<int32_t> picks(count + 8, -7), lower(count, -7);
        const int found =
            SelectBoundPicks(static_cast<SimdLevel>(level))(row, picks.data(), lower.data());
        ASSERT_EQ(std::vector<int32_t>(picks.begin(), picks.begin() + std::max(found, 0)),
                  expected) << "level " << level << (g ? " with" : " without") << " groups, x0 "
                            << x0 << ", count " << count;
        for (int k : expected) ASSERT_EQ(lower[k], scalar[k]) << "level " << level;
      }
    // Group bounds of the whole row, equal on every level and below the
    // bound of each centre (all columns, the border ones too).
    const int stride_g = groups.stride();
    std::vector<int32_t> centres(w);
    RowLowerBoundsScalar(rb, sums, cy, r, 0, w, centres.data());
    std::vector<uint16_t> first(stride_g);
    GroupBoundsScalar(rb, groups, cy, r, 0, stride_g, first.data());
    for (int level = 1; level <= top; ++level) {
      std::vector<uint16_t> other(stride_g);
      SelectGroupBounds(static_cast<SimdLevel>(level))(rb, groups, cy, r, 0, stride_g,
                                                       other.data());
      ASSERT_EQ(other, first) << "level " << level;
    }
    for (int x = 0; x < w; ++x) {
      const int g = x / BoxGroupRanges::kGroup;
      ASSERT_LE(first[g], centres[x]) << "group " << g << ", column " << x;
      if (x % BoxGroupRanges::kGroup == 0) (first[g] > limit ? skipped : live) += 1;
    }
  }
  // Both kinds of groups were met.
  EXPECT_GT(skipped, 1000);
  EXPECT_GT(live, 1000);
}

// Large windows split their runs of known rows so that every run's sum
// fits the kept 16 bits: the bound stays at or below the true sum, also
// for windows of 0 and 255 bytes only.
TEST(BoxSums, BoundsOfLargeWindowsStayBelowTheSums) {
  std::mt19937 rng(24);
  for (int r : {7, 12, 20, 40}) {
    const int side = 2 * r + 1, w = side + 40, h = side + 8, stride = w * 3;
    std::vector<uint8_t> image(stride * h + 64), mask(w * h, 0);
    for (auto& b : image) b = rng() % 2 ? 255 : 0;
    mask[r * w + r] = 1;  // the target itself
    for (int y = 0; y < r; ++y)
      for (int x = 0; x < side; ++x)
        for (int c = 0; c < 3; ++c) image[y * stride + 3 * x + c] = 255;
    BoxSums sums;
    sums.Init(image.data(), w, h, stride, r);
    TargetWindow target;
    target.Capture(image.data(), mask.data(), r, r, w, h, stride, r);
    RowRunBound rb;
    PrepareRowRunBound(target, sums, &rb);
    ASSERT_GT(rb.runs, 0) << r;
    for (int j = 0; j < rb.runs; ++j)
      EXPECT_LE(rb.last_row[j] - rb.first_row[j] + 1, BoxSums::MaxRunRows(r));
    const int count = w - side + 1;
    for (int cy = r; cy < h - r; ++cy) {
      std::vector<int32_t> lower(count);
      SelectRowLowerBounds(DetectedSimdLevel())(rb, sums, cy, r, r, count, lower.data());
      for (int k = 0; k < count; ++k)
        ASSERT_LE(lower[k], WindowSadScalar(target, image.data() + (cy - r) * stride + 3 * k,
                                            stride, INT32_MAX))
            << "r " << r << " centre " << r + k << "," << cy;
    }
  }
}

TEST(WindowSad, VectorAndScalarPathsAgreeAndStopAtTheBound) {
  std::mt19937 rng(22);
  for (int trial = 0; trial < 300; ++trial) {
    const int r = static_cast<int>(rng() % 30), side = 2 * r + 1;
    const int w = side + 8, h = side + 3, stride = w * 3;
    std::vector<uint8_t> image(stride * h + 64), mask(w * h, 0);
    for (auto& b : image) b = static_cast<uint8_t>(rng() % 7 * 40);
    // Mask values 2 are known, or with nonzero_unknown unknown; the target
    // lies anywhere, its window partly outside the image.
    for (auto& m : mask) m = rng() % 4 == 0 ? static_cast<uint8_t>(1 + rng() % 2) : 0;
    const bool nonzero = trial % 2 == 1;
    const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
    TargetWindow target;
    target.Capture(image.data(), mask.data(), x, y, w, h, stride, r, nonzero);
    const uint8_t* cand = image.data() + 3 * static_cast<int>(rng() % 8) + stride;
    int32_t expected = 0;
    for (int k = 0; k < side; ++k)
      for (int j = 0; j < side; ++j) {
        const int tx = x - r + j, ty = y - r + k;
        if (tx < 0 || tx >= w || ty < 0 || ty >= h) continue;
        const uint8_t m = mask[ty * w + tx];
        if (nonzero ? m != 0 : m == 1) continue;
        for (int c = 0; c < 3; ++c)
          expected += std::abs(image[ty * stride + tx * 3 + c] -
                               cand[k * stride + j * 3 + c]);
      }
    EXPECT_EQ(WindowSadScalar(target, cand, stride, INT32_MAX), expected);
    const int32_t bound = static_cast<int32_t>(rng() % (expected + 2));
    const int32_t scalar = WindowSadScalar(target, cand, stride, bound);
    EXPECT_TRUE(scalar == expected || scalar == kSadDropped);
    EXPECT_EQ(scalar == kSadDropped, expected > bound);
    // A pair: this candidate and the image's first window.
    const int32_t other = WindowSadScalar(target, image.data(), stride, bound);
    for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
      const WindowSadFn sad = SelectWindowSad(static_cast<SimdLevel>(level));
      EXPECT_EQ(sad(target, cand, stride, INT32_MAX), expected) << level;
      EXPECT_EQ(sad(target, cand, stride, bound), scalar) << level;
      int32_t sums[2];
      SelectWindowSadPair(static_cast<SimdLevel>(level))(target, cand, image.data(),
                                                         stride, bound, sums);
      EXPECT_EQ(sums[0], scalar) << level;
      EXPECT_EQ(sums[1], other) << level;
    }
  }
}

// Every window width on every vector level the machine has, through the
// row scan (each candidate summed whole, or with a tally its first rows
// apart and the rest after them) and the single sum: each sum equals a
// direct one, also after any byte of the candidate's rows changes (bytes
// under unknown pixels and the 32 bytes past each row must not count,
// every other must count once), and a row of candidates with lower bounds
// and a starting bound fills the slots as the scalar path does. Windows
// have rows unknown by chance (some wholly), or all rows whole but 1 to 4
// or 8 (kernels share one mask among whole rows).
TEST(WindowSad, EveryWidthAndLevelCountsEachKnownByteOnce) {
  std::mt19937 rng(25);
  for (int shape = 0; shape < 17 * 3; ++shape) {
    const int r = shape / 3, partial = std::array<int, 3>{0, 1 + r % 4, 8}[shape % 3];
    const int side = 2 * r + 1, w = side + 40, h = side + 3, stride = w * 3;
    if (partial > side) continue;
    std::vector<uint8_t> image(stride * h + 64), mask(w * h, 0);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    for (int k = 0; k < side; ++k) {
      if (partial > 0 && (k - r + side) % side >= partial) continue;  // whole
      const unsigned share = partial == 0 && k % 4 == 3 ? 100 : rng() % 40;
      for (int j = 0; j < side; ++j) mask[k * w + j] = rng() % 100 < share;
      if (partial > 0) mask[k * w + rng() % side] = 1;
    }
    mask[r * w + r] = 1;
    TargetWindow target;
    target.Capture(image.data(), mask.data(), r, r, w, h, stride, r);
    const std::vector<uint8_t> captured = image;  // the candidate overlaps the target
    uint8_t* cand = image.data() + 3 * 5 + 2 * stride;
    auto direct = [&] {
      int32_t sum = 0;
      for (int k = 0; k < side; ++k)
        for (int j = 0; j < 3 * side; ++j)
          if (mask[k * w + j / 3] != 1)
            sum += std::abs(captured[k * stride + j] - cand[k * stride + j]);
      return sum;
    };
    // Nine picks of the same candidate fill a block of eight and one more.
    const std::vector<int32_t> same(9 + 8, 0);
    auto scanned = [&](SimdLevel level, int32_t limit, bool tallied) {
      ScanTally tally;
      const CandidateRow row{cand, 7, stride, same.data(), tallied ? 9 : 1, nullptr,
                             tallied ? &tally : nullptr};
      std::atomic<int32_t> bound{limit};
      SlotMinimum slots;
      SelectRowScan(level)(target, row, bound, slots);
      return slots.index[7] == 7 ? static_cast<int32_t>(slots.best[7]) : kSadDropped;
    };
    for (int k = 0; k < side; ++k)
      for (int j = 0; j < 3 * side + 32; j += 1 + static_cast<int>(rng() % 3)) {
        uint8_t& byte = cand[k * stride + j];
        byte = static_cast<uint8_t>(byte + 1 + rng() % 255);
        const int32_t expected = direct();
        for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
          const SimdLevel l = static_cast<SimdLevel>(level);
          ASSERT_EQ(SelectWindowSad(l)(target, cand, stride, INT32_MAX), expected);
          for (const bool tallied : {false, true}) {
            ASSERT_EQ(scanned(l, INT32_MAX, tallied), expected)
                << "r " << r << " partial " << partial << " level " << level << " byte " << k
                << "," << j
                << " tallied " << tallied;
            ASSERT_EQ(scanned(l, expected, tallied), expected);
            if (expected == 0) continue;  // bounds are never negative
            ASSERT_EQ(scanned(l, expected - 1, tallied), kSadDropped);
          }
          if (expected == 0) continue;
          ASSERT_EQ(SelectWindowSad(l)(target, cand, stride, expected - 1), kSadDropped);
        }
      }
    // A row of candidates with lower bounds, whatever bound it starts from
    // (some candidates lose on their first rows, others later): every
    // level picks the scalar path's winner, and with a tally offers what
    // it offers without one.
    const int count = w - side + 1;
    std::vector<int32_t> picks, lower(count);
    for (int c = 0; c < count; ++c) {
      lower[c] = static_cast<int32_t>(rng() % 4000);
      if (rng() % 4 != 0) picks.push_back(c);
    }
    picks.resize(picks.size() + 8);
    const uint8_t* first = image.data() + stride;
    const int32_t some = WindowSadScalar(target, first + 3 * picks[0], stride, INT32_MAX);
    for (const int32_t start : {INT32_MAX, some, some / 2, some / 4}) {
      auto scan = [&](int level, bool tallied) {
        ScanTally tally;
        const CandidateRow row{first, 100, stride, picks.data(),
                               static_cast<int>(picks.size()) - 8, lower.data(),
                               tallied ? &tally : nullptr};
        std::atomic<int32_t> bound{start};
        SlotMinimum slots;
        SelectRowScan(static_cast<SimdLevel>(level))(target, row, bound, slots);
        float best = 0;
        const int32_t winner = slots.Select(1e30f, &best);
        return std::make_tuple(winner, best,
                               std::vector<float>(slots.best, slots.best + 512),
                               std::vector<int32_t>(slots.index, slots.index + 512));
      };
      const auto scalar = scan(0, false);
      for (int level = 0; level <= static_cast<int>(DetectedSimdLevel()); ++level) {
        const auto whole = scan(level, false);
        EXPECT_EQ(std::get<0>(whole), std::get<0>(scalar)) << "r " << r << " level " << level;
        EXPECT_EQ(std::get<1>(whole), std::get<1>(scalar)) << "r " << r << " level " << level;
        EXPECT_EQ(scan(level, true), whole) << "r " << r << " level " << level
                                            << " start " << start;
      }
    }
  }
}

// PATCHWELL_SIMD in the environment may lower the level too: the limit is
// compared with what is active without it.
TEST(CpuFeatures, LimitLowersTheActiveLevel) {
  LimitSimdLevel(SimdLevel::Avx512);
  const SimdLevel unlimited = ActiveSimdLevel();
  EXPECT_LE(static_cast<int>(unlimited), static_cast<int>(DetectedSimdLevel()));
  LimitSimdLevel(SimdLevel::Scalar);
  EXPECT_EQ(ActiveSimdLevel(), SimdLevel::Scalar);
  LimitSimdLevel(SimdLevel::Avx512);
  EXPECT_EQ(ActiveSimdLevel(), unlimited);
}

}  // namespace
}  // namespace pw
