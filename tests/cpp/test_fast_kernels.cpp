// Per-item logic of the pruned method, checked by hand: window sums,
// ranking key, patch distance, minimum carry-over, stop rule
// and fill.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fill/kernels/fast.h"
#include "fill/kernels/selection.h"

namespace pw::kernels {
namespace {

// Pixel (x, y) holds (x, y, 1) unless painted otherwise.
struct Grid {
  int w, h, r;
  std::vector<uint8_t> image, mask;
  std::vector<float> sums;
  std::vector<int> counts;
  Grid(int w_, int h_, int r_)
      : w(w_), h(h_), r(r_), image(w_ * h_ * 3), mask(w_ * h_, 0),
        sums(3 * w_ * h_), counts(w_ * h_) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) Paint(x, y, x, y, 1);
  }
  void Paint(int x, int y, int c0, int c1, int c2) {
    uint8_t* p = &image[(y * w + x) * 3];
    p[0] = static_cast<uint8_t>(c0);
    p[1] = static_cast<uint8_t>(c1);
    p[2] = static_cast<uint8_t>(c2);
  }
  void Fill(int c0, int c1, int c2) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) Paint(x, y, c0, c1, c2);
  }
  void Sums() {
    for (int i = 0; i < w * h; ++i)
      window_sums(image.data(), mask.data(), w, h, w * 3, r, sums.data(),
                  counts.data(), i);
  }
  float Key(int x, int y, int i) const {
    return ranking_key(mask.data(), sums.data(), counts.data(), x, y, w, r, i);
  }
  float Distance(int x, int y, int i) const {
    return patch_distance(image.data(), mask.data(), x, y, w, h, w * 3, r, i);
  }
  float S(int x, int y, int k) const { return sums[3 * (y * w + x) + k]; }
  int C(int x, int y) const { return counts[y * w + x]; }
};

TEST(FastSums, CornersEdgesAndInterior) {
  Grid g(6, 5, 1);
  g.Sums();
  EXPECT_EQ(g.C(0, 0), 4);
  EXPECT_EQ(g.C(5, 4), 4);
  EXPECT_EQ(g.C(3, 0), 6);
  EXPECT_EQ(g.C(0, 2), 6);
  EXPECT_EQ(g.C(2, 2), 9);
  // Corner (0, 0): pixels (0,0), (1,0), (0,1), (1,1).
  EXPECT_EQ(g.S(0, 0, 0), 2.0f);
  EXPECT_EQ(g.S(0, 0, 1), 2.0f);
  EXPECT_EQ(g.S(0, 0, 2), 4.0f);
  // Edge (3, 0): columns 2..4 of rows 0 and 1.
  EXPECT_EQ(g.S(3, 0, 0), 18.0f);
  EXPECT_EQ(g.S(3, 0, 1), 3.0f);
  // Interior (2, 2): columns 1..3, rows 1..3.
  EXPECT_EQ(g.S(2, 2, 0), 18.0f);
  EXPECT_EQ(g.S(2, 2, 1), 18.0f);
  EXPECT_EQ(g.S(2, 2, 2), 9.0f);

  // Unknown pixels are neither summed nor counted; a pixel's own mask
  // byte does not matter for its entry.
  g.mask[1 * 6 + 1] = 1;
  g.mask[0] = 255;
  g.Sums();
  EXPECT_EQ(g.C(0, 0), 2);
  EXPECT_EQ(g.S(0, 0, 0), 1.0f);
  EXPECT_EQ(g.S(0, 0, 1), 1.0f);
  EXPECT_EQ(g.C(1, 1), 7);
  EXPECT_EQ(g.C(2, 2), 8);

  // Radius 2: a corner window holds 9 pixels at most, never 25.
  Grid big(7, 7, 2);
  big.Sums();
  EXPECT_EQ(big.C(0, 0), 9);
  EXPECT_EQ(big.C(3, 3), 25);
}

// A target at (4, 4) of a flat image (30, 60, 90), radius 1, whose own
// pixel is unknown; a candidate at (1, 1) with its window painted.
struct KeyCase : Grid {
  KeyCase() : Grid(9, 9, 1) {
    Fill(30, 60, 90);
    mask[4 * 9 + 4] = 1;
  }
  void PaintCandidate(int d0, int d1, int d2) {
    for (int y = 0; y <= 2; ++y)
      for (int x = 0; x <= 2; ++x) Paint(x, y, 30 + d0, 60 + d1, 90 + d2);
    Sums();
  }
};

TEST(FastKey, ColourOffsetsGiveKeyAndDistance) {
  const int cand = 1 * 9 + 1;
  KeyCase k;
  k.PaintCandidate(3, 3, 3);
  EXPECT_EQ(k.Key(4, 4, cand), 3.0f);
  EXPECT_EQ(k.Distance(4, 4, cand), 3.0f);
  k.PaintCandidate(2, 2, 2);
  EXPECT_EQ(k.Key(4, 4, cand), 2.0f);
  EXPECT_EQ(k.Distance(4, 4, cand), 2.0f);
  // Channels are not compared one by one, and 2 div 3 is 0.
  k.PaintCandidate(2, 0, 0);
  EXPECT_EQ(k.Key(4, 4, cand), 0.0f);
  EXPECT_EQ(k.Distance(4, 4, cand), 0.0f);
  // Another hue, same mean intensity: key 0 but a real distance.
  k.PaintCandidate(30, -30, 0);
  EXPECT_EQ(k.Key(4, 4, cand), 0.0f);
  EXPECT_EQ(k.Distance(4, 4, cand), 20.0f);
  // v = 26 gives the key 26 div 3 = 8, scored in pass 1.
  k.PaintCandidate(26, 0, 0);
  EXPECT_EQ(k.Key(4, 4, cand), 8.0f);
}

TEST(FastKey, AdditionOrderIsPartOfTheKey) {
  // Candidate sums (2288, 1799, 1331) over 9 pixels against target sums
  // (552, 479, 703) over 3: the prescribed order of additions gives
  // v = 23.999985 and key 7 (pass 0); summing each side's means first would
  // give exactly 24 and key 8 (pass 1).
  const uint8_t mask[2] = {1, 0};
  const float sums[6] = {552, 479, 703, 2288, 1799, 1331};
  const int counts[2] = {3, 9};
  EXPECT_EQ(ranking_key(mask, sums, counts, 0, 0, 2, 1, 1), 7.0f);
  // A negative v counts by its size: v = -113.99999 gives 113 div 3 = 37.
  const float darker[6] = {1241, 288, 881, 1002, 1810, 500};
  const int counts5[2] = {5, 9};
  EXPECT_EQ(ranking_key(mask, darker, counts5, 0, 0, 2, 1, 1), 37.0f);
}

TEST(FastKey, WhoIsACandidate) {
  KeyCase k;
  k.Sums();
  // Closer than the radius to a border: never.
  EXPECT_EQ(k.Key(4, 4, 0), kNotScored);
  EXPECT_EQ(k.Key(4, 4, 8), kNotScored);
  EXPECT_EQ(k.Key(4, 4, 4 * 9 + 8), kNotScored);
  // The target itself, and pixels whose window holds it: not whole.
  EXPECT_EQ(k.Key(4, 4, 4 * 9 + 4), kNotScored);
  EXPECT_EQ(k.Key(4, 4, 3 * 9 + 5), kNotScored);
  EXPECT_EQ(k.Key(4, 4, 2 * 9 + 2), 0.0f);
  // A target without a known window pixel ranks nobody.
  for (int y = 3; y <= 5; ++y)
    for (int x = 3; x <= 5; ++x) k.mask[y * 9 + x] = 1;
  k.Sums();
  for (int i = 0; i < 81; ++i) ASSERT_EQ(k.Key(4, 4, i), kNotScored);
}

TEST(FastDistance, PassesScoreTheirBucketOnlyOnce) {
  EXPECT_TRUE(scored_in_pass(kNotScored, 7.0f, 8, 0));
  EXPECT_FALSE(scored_in_pass(kNotScored, 8.0f, 8, 0));  // key 8: pass 1
  EXPECT_TRUE(scored_in_pass(kNotScored, 8.0f, 8, 1));
  EXPECT_TRUE(scored_in_pass(kNotScored, 0.0f, 8, 5));  // left over earlier
  EXPECT_FALSE(scored_in_pass(3.5f, 0.0f, 8, 1));       // scored before
  EXPECT_FALSE(scored_in_pass(kNotScored, kNotScored, 8, 31));
  EXPECT_TRUE(scored_in_pass(kNotScored, 255.0f, 8, 31));
}

TEST(FastStop, HostRuleAfterEachPass) {
  // Nothing found yet: the limit 257 is never reached.
  for (int pass = 0; pass < kMaxFastPasses; ++pass)
    EXPECT_FALSE(stop_after_pass(pass, kNotScored));
  // Best 12.5 stops after the pass with limit 16 (16 >= ceil(13.5)).
  EXPECT_FALSE(stop_after_pass(0, 12.5f));
  EXPECT_TRUE(stop_after_pass(1, 12.5f));
  // Best 16.0 stops after limit 24 (16 < 17 <= 24).
  EXPECT_FALSE(stop_after_pass(1, 16.0f));
  EXPECT_TRUE(stop_after_pass(2, 16.0f));
  // At most 7.0: one pass; 7.25 needs a second.
  EXPECT_TRUE(stop_after_pass(0, 7.0f));
  EXPECT_TRUE(stop_after_pass(0, 0.0f));
  EXPECT_FALSE(stop_after_pass(0, 7.25f));
  EXPECT_TRUE(stop_after_pass(1, 7.25f));
}

// One find_dmin launch over a whole buffer, as the device runs it.
void FindDmin(const std::vector<float>& dist, float* dis_min, int* idx_min) {
  float r1[kSelectThreads];
  int i1[kSelectThreads];
  const int n = static_cast<int>(dist.size());
  for (int t = 0; t < kSelectThreads; ++t)
    slot_scan(dist.data(), n, t, kNotScored, r1, i1);
  tree_reduce(r1, i1);
  carry_best(r1[0], i1[0], dis_min, idx_min);
}

TEST(FastMinimum, TieBreaksAcrossSlotsAndPasses) {
  std::vector<float> dist(2000, kNotScored);
  float dis_min = kNotScored;
  int idx_min = -7;
  // Nothing scored: both variables keep their values.
  FindDmin(dist, &dis_min, &idx_min);
  EXPECT_EQ(dis_min, kNotScored);
  EXPECT_EQ(idx_min, -7);
  // Same pass, same distance: slot 2 beats slot 1; 1 beats 513 (same slot).
  dist[1] = dist[2] = dist[513] = 4.5f;
  FindDmin(dist, &dis_min, &idx_min);
  EXPECT_EQ(idx_min, 2);
  EXPECT_EQ(dis_min, 4.5f);
  dist[2] = kNotScored;
  dis_min = kNotScored;
  FindDmin(dist, &dis_min, &idx_min);
  EXPECT_EQ(idx_min, 1);
  // A later pass adds an equal distance in a winning slot (0): no change.
  dist[0] = 4.5f;
  FindDmin(dist, &dis_min, &idx_min);
  EXPECT_EQ(idx_min, 1);
  // Strictly smaller wins wherever it is.
  dist[1999] = 4.25f;
  FindDmin(dist, &dis_min, &idx_min);
  EXPECT_EQ(idx_min, 1999);
  EXPECT_EQ(dis_min, 4.25f);
  // Fewer than 512 entries: the empty slots never win.
  std::vector<float> small(5, kNotScored);
  small[4] = 255.0f;
  dis_min = kNotScored;
  FindDmin(small, &dis_min, &idx_min);
  EXPECT_EQ(idx_min, 4);
}

TEST(FastFill, CopiesTheRecordedSourceAndReportsIt) {
  const int w = 100, h = 12;
  std::vector<uint8_t> image(w * h * 3, 0), mask(w * h, 0);
  image[1030 * 3] = 11;
  image[1030 * 3 + 1] = 22;
  image[1030 * 3 + 2] = 33;
  mask[5 * w + 7] = 1;
  int pos[2] = {-1, -1};
  // Nothing found (or not a number): nothing written.
  EXPECT_FALSE(fill_from_best(image.data(), mask.data(), 7, 5, w, w * 3,
                              kNotScored, 1030, pos));
  EXPECT_FALSE(fill_from_best(image.data(), mask.data(), 7, 5, w, w * 3, NAN,
                              1030, pos));
  EXPECT_EQ(mask[5 * w + 7], 1);
  EXPECT_EQ(pos[0], -1);
  EXPECT_TRUE(fill_from_best(image.data(), mask.data(), 7, 5, w, w * 3, 3.0f,
                             1030, pos));
  EXPECT_EQ(pos[0], 30);
  EXPECT_EQ(pos[1], 10);
  EXPECT_EQ(image[(5 * w + 7) * 3], 11);
  EXPECT_EQ(image[(5 * w + 7) * 3 + 1], 22);
  EXPECT_EQ(image[(5 * w + 7) * 3 + 2], 33);
  EXPECT_EQ(mask[5 * w + 7], 0);
}

}  // namespace
}  // namespace pw::kernels
