// Method auto's pieces around the two fills: the default search radius
// follows the deepest hole, and the smooth fill of the thin damage leaves
// the holes the search could not fill alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "inpaint/auto_fill.h"

namespace pw {
namespace {

std::vector<uint8_t> Rect(int w, int h, int x0, int y0, int x1, int y1) {
  std::vector<uint8_t> mask(static_cast<size_t>(w) * h, 0);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) mask[static_cast<size_t>(y) * w + x] = 1;
  return mask;
}

TEST(AutoFill, DefaultSearchRadiusFollowsTheDeepestTarget) {
  // A 5 x 5 hole: its centre is 3 pixels (in both axes) from known ones.
  EXPECT_EQ(DeepestTarget(Rect(9, 9, 2, 2, 7, 7).data(), nullptr, 9, 9), 3);
  // The outside of the picture is not known: a hole on the edge is deeper.
  EXPECT_EQ(DeepestTarget(Rect(9, 9, 0, 0, 5, 9).data(), nullptr, 9, 9), 5);
  std::vector<uint8_t> wide = Rect(300, 200, 20, 20, 220, 180);  // 160 rows: depth 80
  EXPECT_EQ(DefaultSearchRadius(wide.data(), nullptr, 300, 200, 3),
            80 + 2 * 3 + kDefaultSearchMargin);
  // Targets limit the depth to theirs; shallow damage keeps the floor.
  std::vector<uint8_t> shallow(wide.size(), 0);
  shallow[100 * 300 + 21] = 1;  // depth 2
  EXPECT_EQ(DeepestTarget(wide.data(), shallow.data(), 300, 200), 2);
  EXPECT_EQ(DefaultSearchRadius(wide.data(), shallow.data(), 300, 200, 3), kDefaultSearchRadius);
  // Nothing known: the whole picture.
  std::vector<uint8_t> all(40 * 30, 1);
  EXPECT_EQ(DefaultSearchRadius(all.data(), nullptr, 40, 30, 3), kDefaultSearchRadius);
  EXPECT_TRUE(AutoRadiusProblem(0).has_value());
  EXPECT_FALSE(AutoRadiusProblem(1).has_value());
}

TEST(AutoFill, ThinDamageLeansOnKnownPixelsAndLeavesUnfilledHoles) {
  // A 16-bit gray plane; a 1 px scratch along row 5 runs into an unfilled
  // hole at x = 8..11 (rows 4..7), which must stay as it is.
  const int w = 16, h = 12;
  std::vector<uint16_t> pixels(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels[y * w + x] = static_cast<uint16_t>(1000 + 300 * x + 70 * y);
  const std::vector<uint16_t> plane = pixels;
  std::vector<uint8_t> mask = Rect(w, h, 8, 4, 12, 8);
  std::vector<uint8_t> holes = mask;
  for (int x = 1; x < 8; ++x) mask[5 * w + x] = 1;
  for (size_t i = 0; i < mask.size(); ++i)
    if (mask[i]) pixels[i] = 7;
  const PictureView view{reinterpret_cast<uint8_t*>(pixels.data()), w, h, 1, 2,
                         static_cast<size_t>(w) * 2};
  EXPECT_EQ(FillThinDamage(view, mask.data(), holes), 7);
  for (size_t i = 0; i < mask.size(); ++i) {
    EXPECT_EQ(mask[i], holes[i]) << i;
    EXPECT_EQ(pixels[i], holes[i] ? 7 : plane[i]) << i;
  }
}

}  // namespace
}  // namespace pw
