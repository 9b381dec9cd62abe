// The split of damage into holes and thin damage: hand-made masks, and the
// fast erosion and dilation against the plain definition on random masks.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "schedule/damage_split.h"

namespace pw {
namespace {

struct Mask {
  int w, h;
  std::vector<uint8_t> bytes;
  Mask(int width, int height) : w(width), h(height), bytes(width * height, 0) {}
  void Box(int x0, int y0, int x1, int y1) {  // x0..x1 - 1, y0..y1 - 1
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) bytes[y * w + x] = 1;
  }
  std::vector<uint8_t> Holes() const { return HolePart(bytes.data(), w, h); }
};

// The definition, pixel by pixel: opening by the disc dx^2 + dy^2 <= 9
// (outside the picture is not damage), dilation by 3 x 3, within the mask.
std::vector<uint8_t> PlainHolePart(const Mask& m) {
  auto damaged = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < m.w && y < m.h && m.bytes[y * m.w + x] == 1;
  };
  auto over = [&](const std::vector<uint8_t>& in, int r2, bool all) {
    std::vector<uint8_t> out(m.w * m.h, 0);
    for (int y = 0; y < m.h; ++y)
      for (int x = 0; x < m.w; ++x) {
        bool v = all;
        for (int dy = -3; dy <= 3; ++dy)
          for (int dx = -3; dx <= 3; ++dx) {
            if (r2 ? dx * dx + dy * dy > r2 : (dx < -1 || dx > 1 || dy < -1 || dy > 1)) continue;
            const int X = x + dx, Y = y + dy;
            const bool in_set = X >= 0 && Y >= 0 && X < m.w && Y < m.h && in[Y * m.w + X];
            v = all ? v && in_set : v || in_set;
          }
        out[y * m.w + x] = v;
      }
    return out;
  };
  std::vector<uint8_t> d(m.w * m.h);
  for (int y = 0; y < m.h; ++y)
    for (int x = 0; x < m.w; ++x) d[y * m.w + x] = damaged(x, y);
  std::vector<uint8_t> hole = over(over(over(d, 9, true), 9, false), 0, false);
  for (size_t k = 0; k < hole.size(); ++k) hole[k] = hole[k] && d[k];
  return hole;
}

int Count(const std::vector<uint8_t>& v) {
  int n = 0;
  for (uint8_t b : v) n += b;
  return n;
}

TEST(DamageSplit, LinesAndSpecksUpToSixPixelsAreThin) {
  Mask m(40, 30);
  m.Box(2, 2, 38, 3);      // 1 px line
  m.Box(2, 6, 38, 9);      // 3 px line
  m.Box(2, 12, 38, 18);    // 6 px band
  m.Box(10, 21, 16, 27);   // 6 x 6 speck
  m.Box(0, 29, 40, 30);    // along the bottom edge
  EXPECT_EQ(Count(m.Holes()), 0);
  // Six rows along the top edge, the picture's full width: the disc would
  // need a row above the picture.
  Mask top(20, 12);
  top.Box(0, 0, 20, 6);
  EXPECT_EQ(Count(top.Holes()), 0);
}

TEST(DamageSplit, SquaresHoldingTheDiscAreHoles) {
  Mask m(30, 20);
  m.Box(10, 5, 17, 12);  // 7 x 7
  m.Box(0, 13, 7, 20);   // 7 x 7 in the corner
  EXPECT_EQ(m.Holes(), m.bytes);
}

TEST(DamageSplit, LineLeavingAHoleIsThinBeyondItsRim) {
  Mask m(50, 30);
  m.Box(10, 10, 19, 19);  // 9 x 9 square, x 10..18
  m.Box(19, 13, 45, 15);  // 2 px line from its right side
  const std::vector<uint8_t> hole = m.Holes();
  for (int y = 0; y < m.h; ++y)
    for (int x = 0; x < m.w; ++x) {
      const bool square = x >= 10 && x < 19 && y >= 10 && y < 19;
      if (square || x >= 22) {
        EXPECT_EQ(hole[y * m.w + x], square ? 1 : 0) << x << "," << y;
      }
    }
  EXPECT_EQ(hole, PlainHolePart(m));
}

TEST(DamageSplit, MatchesThePlainDefinitionOnRandomMasks) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 30; ++trial) {
    Mask m(5 + rng() % 40, 5 + rng() % 40);
    for (int k = 0; k < 6; ++k) {
      const int x = rng() % m.w, y = rng() % m.h;
      m.Box(x, y, std::min<int>(m.w, x + 1 + rng() % 10), std::min<int>(m.h, y + 1 + rng() % 10));
    }
    // Values other than 1 mark known pixels.
    for (int k = 0; k < 5; ++k) m.bytes[rng() % m.bytes.size()] = static_cast<uint8_t>(2 + rng() % 254);
    EXPECT_EQ(m.Holes(), PlainHolePart(m)) << "trial " << trial;
  }
}

}  // namespace
}  // namespace pw
