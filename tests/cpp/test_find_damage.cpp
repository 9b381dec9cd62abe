// The damage finder on small synthetic pictures: what it must find, what
// texture it must leave alone, and the views it refuses.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "detect/dilate.h"
#include "detect/find_damage.h"
#include "detect/planes.h"
#include "detect/dust_features.h"
#include "detect/tree_model.h"

namespace {

using pw::detect::FindDamage;
using pw::detect::FindOptions;
using pw::detect::PictureView;

constexpr int kSize = 96;

// A gray picture with a mild grain.
std::vector<uint8_t> Grainy(uint8_t level, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, 3);
  std::vector<uint8_t> gray(kSize * kSize);
  for (auto& v : gray) v = static_cast<uint8_t>(std::lround(std::clamp(level + noise(rng), 0.0, 255.0)));
  return gray;
}

PictureView View(const void* pixels, int channels, int bits) {
  return {pixels, kSize, kSize, channels, bits, static_cast<ptrdiff_t>(kSize) * channels * bits / 8};
}

std::vector<uint8_t> Find(const PictureView& v, unsigned kinds, const PictureView* ir = nullptr) {
  FindOptions options;
  options.kinds = kinds;
  std::vector<uint8_t> mask(kSize * kSize, 7);
  FindDamage(v, ir, options, mask.data());
  return mask;
}

int Count(const std::vector<uint8_t>& mask, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) n += mask[y * kSize + x];
  return n;
}

// Draws a soft dark speck of radius 1.8 around (cx, cy).
void Speck(std::vector<uint8_t>& gray, int cx, int cy) {
    for (int y = cy - 3; y <= cy + 3; ++y)
      for (int x = cx - 3; x <= cx + 3; ++x) {
        const double d = std::hypot(x - cx, y - cy);
        const double a = 1 / (1 + std::exp((d - 1.8) / 0.5));
        gray[y * kSize + x] = static_cast<uint8_t>(std::lround(gray[y * kSize + x] * (1 - a) + 20 * a));
      }
}

// A dark speck on flat gray is found out to its soft edge, in 8 and 16
// bits, gray and RGB alike; a picture full of the same specks (a texture)
// has none.
TEST(FindDamage, SpeckFoundTextureLeft) {
  std::vector<uint8_t> gray = Grainy(170, 1);
  Speck(gray, 20, 20);
  std::vector<uint8_t> texture = Grainy(170, 4);
  for (int y = 4; y < kSize - 4; y += 6)
    for (int x = 4; x < kSize - 4; x += 6) Speck(texture, x, y);
  std::vector<uint16_t> rgb16(kSize * kSize * 3);
  for (int i = 0; i < kSize * kSize; ++i)
    for (int c = 0; c < 3; ++c) rgb16[i * 3 + c] = static_cast<uint16_t>(gray[i] * 257);

  const std::vector<uint8_t> mask = Find(View(gray.data(), 1, 8), pw::detect::kDust);
  EXPECT_EQ(mask, Find(View(rgb16.data(), 3, 16), pw::detect::kDust));
  EXPECT_EQ(Count(mask, 18, 18, 23, 23), 25);  // the speck, and its soft edge
  EXPECT_EQ(Count(mask, 0, 0, kSize, kSize), Count(mask, 15, 15, 26, 26));
  for (uint8_t v : mask) EXPECT_LE(v, 1);
  EXPECT_EQ(Count(Find(View(texture.data(), 1, 8), pw::detect::kDust), 0, 0, kSize, kSize), 0);
}

// A thin fibre crossing an edge at a slant is found on both sides and
// across (where its flanks lie on both sides of the edge); the edge is not.
// Hair (the same lines side by side, a few pixels apart) is texture.
TEST(FindDamage, FibreAcrossEdgeHairLeft) {
  std::vector<uint8_t> gray = Grainy(150, 2);
  for (int y = 0; y < kSize; ++y)
    for (int x = kSize / 2; x < kSize; ++x) gray[y * kSize + x] = static_cast<uint8_t>(gray[y * kSize + x] + 80);
  std::vector<uint8_t> hair = Grainy(150, 5);
  std::vector<int> line(kSize);
  for (int x = 10; x < 86; ++x) {
    line[x] = 2 + static_cast<int>(std::lround(0.6 * (x - 10)));
    gray[line[x] * kSize + x] = static_cast<uint8_t>(gray[line[x] * kSize + x] - 70);
    for (int y = 10; y < kSize - 10; y += 5) hair[y * kSize + x] = 100;
  }
  const std::vector<uint8_t> mask = Find(View(gray.data(), 1, 8), pw::detect::kScratches);
  int found = 0;
  for (int x = 12; x < 84; ++x) found += mask[line[x] * kSize + x];
  EXPECT_EQ(found, 72);
  EXPECT_EQ(Count(mask, 0, 52, kSize, kSize), 0);  // the edge below the fibre
  EXPECT_EQ(Count(Find(View(hair.data(), 1, 8), pw::detect::kScratches), 0, 0, kSize, kSize), 0);
}

// A hair in an infrared channel with noise is found and slightly widened;
// the noise and a slow fall of the level are not damage.
TEST(FindDamage, InfraredHairInNoise) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0, 400);
  std::vector<uint16_t> ir(kSize * kSize);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x)
      ir[y * kSize + x] = static_cast<uint16_t>(std::lround(50000 - 60.0 * x + noise(rng)));
  for (int y = 20; y < 70; ++y) ir[y * kSize + 40] = 20000;
  const std::vector<uint8_t> picture(kSize * kSize, 128);
  const PictureView infrared = View(ir.data(), 1, 16);
  const std::vector<uint8_t> mask = Find(View(picture.data(), 1, 8), pw::detect::kInfrared, &infrared);
  EXPECT_EQ(Count(mask, 39, 20, 42, 70), 150);
  EXPECT_EQ(Count(mask, 0, 0, kSize, kSize), Count(mask, 37, 17, 44, 73));
}

// The dust model reads a pixel's features in bands (box sums kept for the
// band) or alone (when a growing speck reaches it): both must give the
// same numbers, at the picture's borders too.
TEST(FindDamage, SpeckFeaturesEqualInBandsAndAlone) {
  std::mt19937 rng(9);
  std::vector<uint8_t> rgb(kSize * kSize * 3);
  for (auto& v : rgb) v = static_cast<uint8_t>(rng() % 256);
  const pw::detect::SpeckPlanes planes = pw::detect::MakeSpeckPlanes(View(rgb.data(), 3, 8));
  const std::vector<uint8_t> all(kSize * kSize, 1);
  const pw::detect::Probes probes(planes.luma.stride);
  int checked = 0;
  pw::detect::ForSpeckFeatures(planes, 0, kSize, all.data(), [&](size_t i, const float* f) {
    std::array<float, pw::detect::kSpeckFeatureCount> alone;
    pw::detect::SpeckFeatures(planes, probes, int(i % kSize), int(i / kSize), alone.data());
    for (int k = 0; k < pw::detect::kSpeckFeatureCount; ++k) ASSERT_EQ(f[k], alone[k]) << i << " " << k;
    ++checked;
  });
  EXPECT_EQ(checked, kSize * kSize);
}

// Trees as the trainers write them: left when the feature is at most the
// split value; the leaves add up; a pixel clearly out after the first trees
// is given up. Laid out complete, uneven trees must still give what a walk
// down their nodes gives, to the bit: at split values a float cannot hold,
// at NaN, and past a leaf that stops early.
TEST(FindDamage, TreeLogOddsFollowSplitsAndGiveUp) {
  using pw::detect::TreeNode;
  const TreeNode nodes[] = {{1, 1, 2, 0.5}, {-1, 0, 0, -2.0}, {-1, 0, 0, 1.0},
                            {0, 4, 5, 3.0}, {-1, 0, 0, 0.25}, {-1, 0, 0, 4.0}};
  const uint32_t roots[] = {0, 3};
  const pw::detect::CompleteTrees trees(0.1, roots, nodes);
  const float at_split[] = {3.0f, 0.5f}, above[] = {3.5f, 0.75f};
  EXPECT_DOUBLE_EQ(trees.LogOdds(at_split), 0.1 - 2.0 + 0.25);
  EXPECT_DOUBLE_EQ(trees.LogOdds(above), 0.1 + 1.0 + 4.0);
  EXPECT_DOUBLE_EQ(trees.LogOdds(at_split, 1, -1.0), 0.1 - 2.0);
  EXPECT_DOUBLE_EQ(trees.LogOdds(above, 1, -1.0), 5.1);

  // A root that is a leaf, a lopsided tree three deep, and splits at 0.1
  // (no float is exactly 0.1) and between two adjacent floats.
  const double between = (double(1.0f) + double(std::nextafter(1.0f, 2.0f))) / 2;
  const TreeNode uneven[] = {
      {-1, 0, 0, 0.5},
      {0, 2, 3, 0.1}, {-1, 0, 0, -1.0}, {1, 4, 5, between}, {-1, 0, 0, 2.0},
      {0, 6, 7, -0.1}, {-1, 0, 0, 3.0}, {-1, 0, 0, 7.0}};
  const uint32_t uneven_roots[] = {0, 1};
  const pw::detect::CompleteTrees complete(-0.5, uneven_roots, uneven);
  auto walk = [&](const float* f) {
    double odds = -0.5;
    for (uint32_t root : uneven_roots) {
      const TreeNode* n = &uneven[root];
      while (n->feature >= 0)
        n = &uneven[static_cast<double>(f[n->feature]) <= n->value ? n->left : n->right];
      odds += n->value;
    }
    return odds;
  };
  const float nan = std::nanf("");
  const float values[] = {nan, -1.0f, 0.1f, std::nextafter(0.1f, 0.0f), 1.0f,
                          std::nextafter(1.0f, 2.0f), -std::numeric_limits<float>::infinity()};
  for (float a : values)
    for (float b : values) {
      const float f[] = {a, b};
      EXPECT_EQ(complete.LogOdds(f), walk(f)) << a << ", " << b;
    }
}

// The mask widened by a square of side 2r + 1 with running counts: the
// same as looking at every pixel's square, on pictures narrower or
// shorter than the square too.
TEST(FindDamage, DilateMatchesTheSquareAroundEachPixel) {
  std::mt19937 random(3);
  for (const auto [w, h, radius] : {std::array<int32_t, 3>{37, 150, 1}, {37, 150, 7},
                                    {5, 200, 16}, {70, 3, 2}, {1, 1, 4}}) {
    std::vector<uint8_t> mask(static_cast<size_t>(w) * h);
    for (uint8_t& m : mask) m = random() % 40 == 0;
    std::vector<uint8_t> expected(mask.size(), 0);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int32_t v = std::max(0, y - radius); v <= std::min(h - 1, y + radius); ++v)
          for (int32_t u = std::max(0, x - radius); u <= std::min(w - 1, x + radius); ++u)
            expected[static_cast<size_t>(y) * w + x] |= mask[static_cast<size_t>(v) * w + u];
    pw::detect::Dilate(mask.data(), w, h, radius);
    EXPECT_EQ(mask, expected) << w << " x " << h << ", radius " << radius;
  }
}

TEST(FindDamage, RefusesWhatItCannotRead) {
  const std::vector<uint8_t> gray(kSize * kSize, 0);
  std::vector<uint8_t> mask(kSize * kSize);
  FindOptions options;
  EXPECT_THROW(FindDamage(View(gray.data(), 2, 8), nullptr, options, mask.data()), std::invalid_argument);
  EXPECT_THROW(FindDamage(View(gray.data(), 1, 12), nullptr, options, mask.data()), std::invalid_argument);
  PictureView short_rows = View(gray.data(), 1, 8);
  short_rows.row_bytes = kSize - 1;
  EXPECT_THROW(FindDamage(short_rows, nullptr, options, mask.data()), std::invalid_argument);
  options.kinds = pw::detect::kInfrared;
  EXPECT_THROW(FindDamage(View(gray.data(), 1, 8), nullptr, options, mask.data()), std::invalid_argument);
  options.kinds = pw::detect::kDust;
  options.sensitivity = 0;
  EXPECT_THROW(FindDamage(View(gray.data(), 1, 8), nullptr, options, mask.data()), std::invalid_argument);
}

}  // namespace
