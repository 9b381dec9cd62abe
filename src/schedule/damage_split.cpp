#include "schedule/damage_split.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

namespace pw {
namespace {

constexpr int kDiscRadius = 3;
// The disc grown by the 3 x 3 square reaches one row further.
constexpr int kGrownRadius = kDiscRadius + 1;
// Run lengths and distances are kept in bytes, clamped here: every
// comparison made with them is against a smaller number.
constexpr int kClamp = 255;

// Half widths of the disc's rows, |dy| = 0..3: the largest h with
// h^2 + dy^2 <= 9.
std::array<int, kDiscRadius + 1> DiscRows() {
  std::array<int, kDiscRadius + 1> half{};
  for (int dy = 0; dy <= kDiscRadius; ++dy) {
    int h = 0;
    while ((h + 1) * (h + 1) + dy * dy <= kDiscRadius * kDiscRadius) ++h;
    half[dy] = h;
  }
  return half;
}

// Half widths of the rows of the disc grown by the 3 x 3 square: row dy
// takes the widest of the disc's rows dy - 1..dy + 1, one pixel wider.
std::array<int, kGrownRadius + 1> GrownRows(const std::array<int, kDiscRadius + 1>& disc) {
  std::array<int, kGrownRadius + 1> half{};
  for (int dy = 0; dy <= kGrownRadius; ++dy) {
    int widest = -1;
    for (int k = dy - 1; k <= dy + 1; ++k)
      if (std::abs(k) <= kDiscRadius) widest = std::max(widest, disc[std::abs(k)]);
    half[dy] = widest + 1;
  }
  return half;
}

// run[x]: how many damaged pixels start at x going right (clamped).
void RightRuns(const uint8_t* mask, int32_t width, uint8_t* run) {
  int count = 0;
  for (int32_t x = width - 1; x >= 0; --x) {
    count = mask[x] == 1 ? std::min(count + 1, kClamp) : 0;
    run[x] = static_cast<uint8_t>(count);
  }
}

// Erosion by the disc: centres whose disc lies within the damage. Row
// y + dy of the disc, of half width h, lies within it when the run that
// starts at x - h is at least 2h + 1 long.
void Erode(const uint8_t* runs, int32_t width, int32_t height,
           const std::array<int, kDiscRadius + 1>& disc, uint8_t* eroded) {
  std::fill(eroded, eroded + static_cast<size_t>(width) * height, uint8_t{0});
  for (int32_t y = kDiscRadius; y + kDiscRadius < height; ++y) {
    uint8_t* e = eroded + static_cast<size_t>(y) * width;
    for (int32_t x = kDiscRadius; x + kDiscRadius < width; ++x) e[x] = 1;
    for (int dy = -kDiscRadius; dy <= kDiscRadius; ++dy) {
      const int h = disc[std::abs(dy)];
      const uint8_t* r = runs + static_cast<size_t>(y + dy) * width;
      const uint8_t need = static_cast<uint8_t>(2 * h + 1);
      for (int32_t x = kDiscRadius; x + kDiscRadius < width; ++x)
        e[x] = static_cast<uint8_t>(e[x] & (r[x - h] >= need));
    }
  }
}

// In place, a row of 0/1 becomes each pixel's distance to the nearest 1 of
// the row (clamped).
void RowDistances(uint8_t* row, int32_t width) {
  int d = kClamp;
  for (int32_t x = 0; x < width; ++x) {
    d = row[x] ? 0 : std::min(d + 1, kClamp);
    row[x] = static_cast<uint8_t>(d);
  }
  d = kClamp;
  for (int32_t x = width - 1; x >= 0; --x) {
    d = row[x] == 0 ? 0 : std::min(d + 1, kClamp);
    row[x] = static_cast<uint8_t>(std::min<int>(row[x], d));
  }
}

}  // namespace

std::vector<uint8_t> HolePart(const uint8_t* mask, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return {};
  const size_t n = static_cast<size_t>(width) * height;
  const auto disc = DiscRows();
  const auto grown = GrownRows(disc);

  // Opening then the 3 x 3 dilation is the erosion by the disc dilated by
  // the disc grown by the square.
  std::vector<uint8_t> work(n), near(n);
  for (int32_t y = 0; y < height; ++y)
    RightRuns(mask + static_cast<size_t>(y) * width, width, work.data() + static_cast<size_t>(y) * width);
  Erode(work.data(), width, height, disc, near.data());
  for (int32_t y = 0; y < height; ++y) RowDistances(near.data() + static_cast<size_t>(y) * width, width);

  // A damaged pixel belongs to a hole when an eroded centre lies within
  // the grown disc's row dy, i.e. within its half width along row y + dy.
  std::vector<uint8_t> hole(n, 0);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* out = hole.data() + static_cast<size_t>(y) * width;
    for (int dy = -kGrownRadius; dy <= kGrownRadius; ++dy) {
      if (y + dy < 0 || y + dy >= height) continue;
      const uint8_t* d = near.data() + static_cast<size_t>(y + dy) * width;
      const auto h = static_cast<uint8_t>(grown[std::abs(dy)]);
      for (int32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(out[x] | (d[x] <= h));
    }
    const uint8_t* m = mask + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(out[x] & (m[x] == 1));
  }
  return hole;
}

}  // namespace pw
