// Per-candidate kernel logic, checked by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fill/kernels/exhaustive.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/packed_window.h"
#include "reference.h"

namespace pw::kernels {
namespace {

TEST(Numeric, ConversionsAreDefinedEverywhere) {
  EXPECT_EQ(float_to_int_rz(3.9f), 3);
  EXPECT_EQ(float_to_int_rz(-3.9f), -3);
  EXPECT_EQ(float_to_int_rz(NAN), 0);
  EXPECT_EQ(float_to_int_rz(1e30f), 2147483647);
  EXPECT_EQ(float_to_int_rz(-1e30f), -2147483647 - 1);
  EXPECT_EQ(float_round_to_int(2.5f), 3);
  EXPECT_EQ(float_round_to_int(-2.5f), -3);
  EXPECT_EQ(float_round_to_int(2.4999f), 2);
}

// A 3 x 3 block of RGB pixels from a 10-pixel-wide image into 27 bytes.
TEST(Kernels, Copy2DPacksABlock) {
  std::vector<uint8_t> src(30 * 4);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> dst(27, 0);
  for (int i = 0; i < 27 + 5; ++i)  // surplus threads do nothing
    copy_2d_byte(dst.data(), 9, src.data(), 27, 30, 9, i);
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 9; ++col)
      EXPECT_EQ(dst[row * 9 + col], src[row * 30 + col]);
}

TEST(Kernels, WindowCopyClipsAtACorner) {
  // Target (0, 0), radius 2 in a 10 x 8 image: 3 x 3 pixels in the image,
  // placed at window column 2, row 2 of the 5 x 5 window.
  const WindowCopy c = target_window_copy(0, 0, 10, 8, 30, 2);
  EXPECT_EQ(c.src_offset, 0);
  EXPECT_EQ(c.dst_offset, (2 * 5 + 2) * 3);
  EXPECT_EQ(c.dst_pitch, 15);
  EXPECT_EQ(c.row_bytes, 9);
  EXPECT_EQ(c.rows, 3);
  // Radius 64 fills the buffer exactly.
  const WindowCopy big = target_window_copy(64, 64, 129, 129, 387, 64);
  EXPECT_EQ(big.dst_offset + (big.rows - 1) * big.dst_pitch + big.row_bytes,
            kConstWindowBytes);
}

struct Scene {
  int w, h, r;
  std::vector<uint8_t> image, mask, window;
  Scene(int w_, int h_, int r_)
      : w(w_), h(h_), r(r_), image(w_ * h_ * 3), mask(w_ * h_, 0),
        window(kConstWindowBytes, 0) {}
  uint8_t* px(int x, int y) { return &image[(y * w + x) * 3]; }
  void Stage(int x, int y) {
    const WindowCopy c = target_window_copy(x, y, w, h, w * 3, r);
    const int total = c.row_bytes * c.rows;
    for (int i = 0; i < total; ++i)
      copy_2d_byte(window.data() + c.dst_offset, c.dst_pitch,
                   image.data() + c.src_offset, total, c.src_pitch, c.row_bytes, i);
  }
  float Const(int x, int y, int cx, int cy, int cmv = 0) {
    Stage(x, y);
    return const_window_distance(image.data(), mask.data(), window.data(), x,
                                 y, w, h, w * 3, r, cmv, cy * w + cx);
  }
  float General(int x, int y, int cx, int cy, float tol, int limit) {
    return general_distance(image.data(), mask.data(), x, y, w, h, w * 3, r,
                            tol, limit, cy * w + cx);
  }
};

TEST(ConstWindowDistance, RejectsBorderUnknownCentreAndUnknownWindowPixels) {
  Scene s(9, 9, 1);
  s.mask[4 * 9 + 4] = 1;                      // target (4, 4)
  EXPECT_EQ(s.Const(4, 4, 0, 3), kNoCandidate);  // window leaves the image
  EXPECT_EQ(s.Const(4, 4, 8, 3), kNoCandidate);
  EXPECT_EQ(s.Const(4, 4, 4, 4), kNoCandidate);  // centre unknown
  // Candidate (5, 4): its window holds the target, which faces an in-image
  // position: rejected.
  EXPECT_EQ(s.Const(4, 4, 5, 4), kNoCandidate);
  // A candidate whose window holds an unknown pixel facing an unknown target
  // position is rejected too (the rejection test comes first).
  s.mask[1 * 9 + 1] = 1;  // facing target position (3,3) via candidate (2,2)
  s.mask[3 * 9 + 3] = 1;
  EXPECT_EQ(s.Const(4, 4, 2, 2), kNoCandidate);
  EXPECT_LT(s.Const(4, 4, 6, 6), kNoCandidate);
  // candidate_mask_value selects which centres qualify.
  EXPECT_EQ(s.Const(4, 4, 6, 6, 1), kNoCandidate);
}

TEST(ConstWindowDistance, TargetNearTheTopComparesOnlyInImageRows) {
  Scene s(8, 8, 2);
  for (size_t i = 0; i < s.image.size(); ++i) s.image[i] = static_cast<uint8_t>(i * 7);
  s.mask[0 * 8 + 3] = 1;  // target (3, 0): window rows -2, -1 are outside
  int expected = 0;
  for (int dy = 0; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      if (dy == 0 && dx == 0) continue;
      for (int k = 0; k < 3; ++k)
        expected += std::abs(s.px(3 + dx, dy)[k] - s.px(4 + dx, 5 + dy)[k]);
    }
  EXPECT_EQ(s.Const(3, 0, 4, 5), static_cast<float>(expected));
}

TEST(ConstWindowDistance, WindowWithoutKnownPixelsScoresZero) {
  Scene s(9, 9, 1);
  for (size_t i = 0; i < s.image.size(); ++i) s.image[i] = static_cast<uint8_t>(i);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) s.mask[y * 9 + x] = 1;
  // Target (0, 0): its in-image window is all unknown.
  EXPECT_EQ(s.Const(0, 0, 5, 5), 0.0f);
}

TEST(GeneralDistance, SearchLimitKeepsCandidatesNearTheTarget) {
  Scene s(20, 20, 1);
  for (size_t i = 0; i < s.image.size(); ++i) s.image[i] = static_cast<uint8_t>(i % 13);
  s.mask[10 * 20 + 10] = 1;
  EXPECT_LT(s.General(10, 10, 13, 13, 0.5f, 3), kNoCandidate);
  EXPECT_EQ(s.General(10, 10, 14, 13, 0.5f, 3), kNoCandidate);
  EXPECT_EQ(s.General(10, 10, 13, 6, 0.5f, 3), kNoCandidate);
  EXPECT_LT(s.General(10, 10, 14, 13, 0.5f, 0), kNoCandidate);
  EXPECT_EQ(s.General(10, 10, 14, 13, 0.5f, -1), kNoCandidate);
}

TEST(GeneralDistance, ToleranceAdmitsPartialWindowsScoredByTheirMean) {
  Scene s(10, 10, 1);
  for (size_t i = 0; i < s.image.size(); ++i) s.image[i] = static_cast<uint8_t>((i * 5) % 17);
  s.mask[5 * 10 + 5] = 1;
  // Candidate (2, 0): its top window row is outside the image (3 positions
  // lacking); the target (5, 5) has 8 known positions and the centre missing.
  // valid = 9 - 1 = 8, used = 5 (the lower two rows minus... computed below).
  int used = 0;
  float sum = 0.0f;
  for (int dy = 0; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      if (dy == 0 && dx == 0) continue;  // target centre unknown
      int d = 0;
      for (int k = 0; k < 3; ++k)
        d += std::abs(s.px(5 + dx, 5 + dy)[k] - s.px(2 + dx, 0 + dy)[k]);
      sum += static_cast<float>(d);
      ++used;
    }
  // missing = 1 (target centre); valid = 8; lacking = 8 - 5 = 3.
  // tolerance 0.4: allowed = round(3.2) = 3 -> qualifies.
  EXPECT_EQ(s.General(5, 5, 2, 0, 0.4f, 0), sum / static_cast<float>(used));
  // tolerance 0.3: allowed = round(2.4) = 2 < 3 -> rejected.
  EXPECT_EQ(s.General(5, 5, 2, 0, 0.3f, 0), kNoCandidate);
  // Tolerance 0 never admits it.
  EXPECT_EQ(s.General(5, 5, 2, 0, 0.0f, 0), kNoCandidate);
  // NaN tolerance counts as non-zero: allowed is 0, so 3 lacking rejects.
  EXPECT_EQ(s.General(5, 5, 2, 0, NAN, 0), kNoCandidate);
}

TEST(GeneralDistance, NoComparedPixelMeansNoCandidate) {
  Scene s(9, 9, 1);
  for (int y = 3; y <= 5; ++y)
    for (int x = 3; x <= 5; ++x) s.mask[y * 9 + x] = 1;
  // Target (4, 4): every window pixel unknown; used = 0.
  EXPECT_EQ(s.General(4, 4, 1, 1, 0.9f, 0), kNoCandidate);
}

// With tolerance 0 and a 0/1 mask, the general kernel scores every candidate
// exactly as the constant-window kernel does, and so do the packed sums of
// the device loop over the target's facing range (checked, or unchecked when
// that range holds no pixel to fill); the packed patch distance equals the
// pruned method's for candidates whose window is whole and known.
TEST(GeneralDistance, ToleranceZeroEqualsConstWindowOnRandomScenes) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 40; ++trial) {
    const int w = 5 + static_cast<int>(rng() % 12), h = 5 + static_cast<int>(rng() % 12);
    const int r = static_cast<int>(rng() % 4);
    auto c = pw::reference::MakeRandomCase(rng, w, h, r, 4, 2, 2, 3);
    Scene s(w, h, r);
    s.image = c.image;
    s.mask = c.mask;
    std::vector<uint32_t> packed(w * h);
    for (int i = 0; i < w * h; ++i)
      packed[i] = pack_pixel(&s.image[3 * i], s.mask[i] == 1);
    const int x = static_cast<int>(rng() % w), y = static_cast<int>(rng() % h);
    s.Stage(x, y);
    const FacingRange f = facing_range(x, y, w, h, r);
    const PackedImageWindow target{packed.data(), w, x - r, y - r};
    for (int i = 0; i < w * h; ++i) {
      const float a = const_window_distance(s.image.data(), s.mask.data(),
                                            s.window.data(), x, y, w, h, w * 3,
                                            r, 0, i);
      const float b = s.General(x, y, i % w, i / w, 0.0f, 0);
      ASSERT_EQ(a, b) << "candidate " << i;
      const int cx = i % w, cy = i / w;
      if (s.mask[i] != 0 || cx < r || cx >= w - r || cy < r || cy >= h - r) continue;
      const int32_t sum = packed_window_sum<true>(packed.data(), w, target, cx, cy, r, f);
      ASSERT_EQ(sum < 0 ? kNoCandidate : static_cast<float>(sum), a) << "candidate " << i;
      int unknown = 0;
      for (int k = f.k0; k <= f.k1; ++k)
        for (int j = f.j0; j <= f.j1; ++j) unknown += s.mask[(cy - r + k) * w + cx - r + j];
      if (unknown == 0) {
        ASSERT_EQ(packed_window_sum<false>(packed.data(), w, target, cx, cy, r, f), sum);
        bool whole_known = true;
        for (int k = 0; k <= 2 * r; ++k)
          for (int j = 0; j <= 2 * r; ++j)
            whole_known = whole_known && s.mask[(cy - r + k) * w + cx - r + j] == 0;
        if (whole_known) {
          ASSERT_EQ(packed_patch_distance(packed.data(), w, target, cx, cy, r, f),
                    patch_distance(s.image.data(), s.mask.data(), x, y, w, h,
                                   w * 3, r, i))
              << "candidate " << i;
        }
      }
    }
  }
}

TEST(FillTarget, CopiesTheCentreAndClearsTheMask) {
  Scene s(100, 12, 0);
  uint8_t* src = s.px(30, 10);
  src[0] = 1; src[1] = 2; src[2] = 3;
  s.mask[5 * 100 + 7] = 1;
  int position[2] = {-1, -1};
  EXPECT_TRUE(fill_target(s.image.data(), s.mask.data(), 7, 5, 100, 300, 4.0f,
                          1030, position));
  EXPECT_EQ(s.px(7, 5)[0], 1);
  EXPECT_EQ(s.px(7, 5)[2], 3);
  EXPECT_EQ(s.mask[5 * 100 + 7], 0);
  EXPECT_EQ(position[0], 30);
  EXPECT_EQ(position[1], 10);
  s.mask[5 * 100 + 8] = 1;
  EXPECT_FALSE(fill_target(s.image.data(), s.mask.data(), 8, 5, 100, 300,
                           kNoCandidate, 1030, nullptr));
  EXPECT_FALSE(fill_target(s.image.data(), s.mask.data(), 8, 5, 100, 300, NAN,
                           1030, nullptr));
  EXPECT_EQ(s.mask[5 * 100 + 8], 1);
}

}  // namespace
}  // namespace pw::kernels
