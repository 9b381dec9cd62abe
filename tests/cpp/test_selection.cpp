// The 512-slot minimum search and its tie-break order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "fill/cpu/slot_minimum.h"
#include "fill/kernels/candidate_key.h"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/selection.h"

namespace pw {
namespace {

using kernels::kNoCandidate;
using kernels::kSelectThreads;

// Literal single-block search over a full distance map.
int BlockSelect(const std::vector<float>& dist, float empty, float* best) {
  float r1[kSelectThreads];
  int i1[kSelectThreads];
  const int n = static_cast<int>(dist.size());
  for (int t = 0; t < kSelectThreads; ++t)
    kernels::slot_scan(dist.data(), n, t, empty, r1, i1);
  kernels::tree_reduce(r1, i1);
  *best = r1[0];
  return i1[0];
}

std::vector<float> TwoTied(int n, int a, int b) {
  std::vector<float> dist(n, kNoCandidate);
  dist[a] = dist[b] = 5.0f;
  return dist;
}

TEST(Selection, TieBreakFollowsReversedSlotBits) {
  float best;
  EXPECT_EQ(BlockSelect(TwoTied(2000, 700, 1000), kNoCandidate, &best), 1000);
  EXPECT_EQ(best, 5.0f);
  EXPECT_EQ(BlockSelect(TwoTied(2000, 1, 2), kNoCandidate, &best), 2);
  EXPECT_EQ(BlockSelect(TwoTied(2000, 1, 513), kNoCandidate, &best), 1);
  EXPECT_EQ(BlockSelect(TwoTied(2000, 128, 384), kNoCandidate, &best), 128);
  EXPECT_EQ(BlockSelect(TwoTied(2000, 2, 4), kNoCandidate, &best), 4);
  // Multiples of 512 beat everything, the smallest first.
  auto dist = TwoTied(3000, 256, 1536);
  dist[1024] = 5.0f;
  EXPECT_EQ(BlockSelect(dist, kNoCandidate, &best), 1024);
  // The key keeps every index and distance.
  const uint64_t key = kernels::candidate_key(3.0e38f, 2147483647);
  EXPECT_EQ(kernels::key_index(key), 2147483647);
  EXPECT_EQ(kernels::key_distance(key), 3.0e38f);
  EXPECT_LT(key, kernels::kNoKey);
  // A strictly smaller value wins wherever it lies.
  dist = TwoTied(2000, 0, 512);
  dist[777] = 4.0f;
  EXPECT_EQ(BlockSelect(dist, kNoCandidate, &best), 777);
  EXPECT_EQ(best, 4.0f);
  // Fewer entries than slots; none below the empty value.
  std::vector<float> small(37, kNoCandidate);
  small[36] = 9.0f;
  EXPECT_EQ(BlockSelect(small, kNoCandidate, &best), 36);
  BlockSelect(std::vector<float>(700, kNoCandidate), kNoCandidate, &best);
  EXPECT_FALSE(best < kNoCandidate);
}

// The CPU's chunked slot minimum picks exactly what the block search picks,
// whatever the chunk boundaries, when non-qualifying entries are left out
// (with many equal distances or few), also when its slots are cleared and
// used again; so does the smallest candidate key, taken in any order.
TEST(Selection, ChunkedSlotMinimumEqualsBlockSearch) {
  std::mt19937 rng(5);
  std::vector<SlotMinimum> part(7);
  for (int trial = 0; trial < 200; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 5000);
    const unsigned values = trial % 2 == 0 ? 4 : 1000000;
    std::vector<float> dist(n);
    for (float& d : dist)
      d = rng() % 3 == 0 ? kNoCandidate : static_cast<float>(rng() % values);
    float block_best;
    const int block_index = BlockSelect(dist, kNoCandidate, &block_best);

    const int chunks = 1 + static_cast<int>(rng() % 7);
    for (int c = 0; c < chunks; ++c) {
      part[c].Clear();
      const int b = static_cast<int>(int64_t{n} * c / chunks);
      const int e = static_cast<int>(int64_t{n} * (c + 1) / chunks);
      for (int i = b; i < e; ++i)
        if (dist[i] < kNoCandidate) part[c].Offer(i, dist[i]);
    }
    for (int c = 1; c < chunks; ++c) part[0].MergeLater(part[c]);
    float best;
    const int index = part[0].Select(kNoCandidate, &best);
    uint64_t key = kernels::kNoKey;
    for (int i = n - 1; i >= 0; --i)
      if (dist[i] < kNoCandidate) key = std::min(key, kernels::candidate_key(dist[i], i));
    if (block_best < kNoCandidate) {
      ASSERT_EQ(index, block_index) << "trial " << trial;
      ASSERT_EQ(best, block_best);
      ASSERT_EQ(kernels::key_index(key), block_index) << "trial " << trial;
      ASSERT_EQ(kernels::key_distance(key), block_best);
    } else {
      ASSERT_EQ(index, -1);
      ASSERT_EQ(key, kernels::kNoKey);
    }
  }
}

}  // namespace
}  // namespace pw
