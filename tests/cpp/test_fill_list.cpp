// Fill order: the worked cases, and the fast scoring against the plain count.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "schedule/fill_list.h"

namespace pw {
namespace {

std::vector<int32_t> Order(const std::vector<uint8_t>& mask, int w, int h,
                           int r) {
  FillList list;
  const int32_t n = BuildFillList(list, mask.data(), w, h, r);
  EXPECT_EQ(n, static_cast<int32_t>(list.order.size()));
  EXPECT_EQ(list.next, 0);
  EXPECT_TRUE(list.heap.empty());
  const std::vector<int32_t> order = list.order;
  ReleaseFillList(list);  // frees everything
  EXPECT_EQ(list.order.capacity() + list.ranked.capacity() + list.width, 0u);
  return order;
}

// The worked cases of tests/fill_orders.txt, which the Python model of the
// fill is held to as well.
struct WorkedCase {
  int w = 0, h = 0, r = 0;
  std::vector<uint8_t> mask;
  std::vector<int32_t> order;
  std::vector<std::pair<int, int>> ranked;  // score, index
};

std::vector<WorkedCase> WorkedCases() {
  std::ifstream in(PATCHWELL_TEST_DATA_DIR "/fill_orders.txt");
  std::vector<WorkedCase> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    WorkedCase c;
    std::string word;
    fields >> c.w >> c.h >> c.r >> word;
    while (fields >> word && word != "|")
      for (char ch : word) c.mask.push_back(ch == 'F' ? 255 : static_cast<uint8_t>(ch - '0'));
    while (fields >> word && word != "|") c.order.push_back(std::stoi(word));
    while (fields >> word)
      c.ranked.emplace_back(std::stoi(word), std::stoi(word.substr(word.find(':') + 1)));
    cases.push_back(c);
  }
  EXPECT_GE(cases.size(), 7u);
  return cases;
}

TEST(FillList, WorkedCases) {
  for (const WorkedCase& c : WorkedCases()) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " r" << c.r);
    FillList list;
    RankNoisePixels(list, c.mask.data(), c.w, c.h, c.r);
    ASSERT_EQ(list.ranked.size(), c.ranked.size());
    for (size_t k = 0; k < c.ranked.size(); ++k) {
      EXPECT_EQ(list.ranked[k].score, c.ranked[k].first) << k;
      EXPECT_EQ(list.ranked[k].index, c.ranked[k].second) << k;
    }
    EXPECT_EQ(Order(c.mask, c.w, c.h, c.r), c.order);
  }
  EXPECT_TRUE(Order({}, 0, 0, 2).empty());
}

TEST(FillList, UnknownNeighbourCountCountsBorderAndNoise) {
  std::vector<uint8_t> mask(25, 0);  // a 3 x 3 block in the middle
  for (int y = 1; y <= 3; ++y)
    for (int x = 1; x <= 3; ++x) mask[y * 5 + x] = 1;
  EXPECT_EQ(UnknownNeighbourCount(mask.data(), 1, 1, 5, 5, 1), 3);
  EXPECT_EQ(UnknownNeighbourCount(mask.data(), 2, 2, 5, 5, 1), 8);
  EXPECT_EQ(UnknownNeighbourCount(mask.data(), 0, 0, 5, 5, 1), 6);  // 5 out + (1,1)
  EXPECT_EQ(UnknownNeighbourCount(mask.data(), 0, 0, 5, 5, 0), 0);
}

// The ranking counts with running sums; it must give the plain count for
// every noise pixel, at every radius, including windows larger than the
// image.
TEST(FillList, FastScoresEqualThePlainCount) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const int w = 1 + static_cast<int>(rng() % 23);
    const int h = 1 + static_cast<int>(rng() % 17);
    const int r = static_cast<int>(rng() % 9);
    std::vector<uint8_t> mask(w * h);
    // Every other mask sparse: the noise's box then lies inside the image.
    const unsigned one_in = trial % 2 ? 3 : 25;
    for (auto& b : mask) b = static_cast<uint8_t>(rng() % one_in == 0 ? 1 : (rng() % 2) * 255);
    FillList list;
    RankNoisePixels(list, mask.data(), w, h, r);
    for (const RankEntry& e : list.ranked)
      EXPECT_EQ(e.score, UnknownNeighbourCount(mask.data(), e.index % w,
                                               e.index / w, w, h, r));
  }
}

// The peel as first written: a linear backward search for each lowered
// entry's new place. The built order must equal it exactly.
std::vector<int32_t> LiteralPeel(const std::vector<uint8_t>& mask, int w, int h,
                                 int r) {
  FillList list;
  RankNoisePixels(list, mask.data(), w, h, r);
  std::vector<RankEntry> ranked = list.ranked;
  const int n = static_cast<int>(ranked.size());
  std::vector<PixelSlot> slots(w * h, PixelSlot{0, -1});
  for (int k = 0; k < n; ++k) slots[ranked[k].index] = PixelSlot{ranked[k].score, k};
  std::vector<int32_t> order;
  for (int i = 0; i < n; ++i) {
    const int p = ranked[i].index;
    order.push_back(p);
    slots[p].position = -1;
    for (int ny = p / w - r; ny <= p / w + r; ++ny)
      for (int nx = p % w - r; nx <= p % w + r; ++nx) {
        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const int q = ny * w + nx, pos = slots[q].position;
        if (pos <= 0) continue;
        const int s = --slots[q].score;
        int t = pos;
        if (pos - 1 >= i + 1) {
          int k = pos - 1;
          while (k >= i + 1 && ranked[k].score > s) --k;
          t = k + 1;
        }
        if (t < pos) {
          slots[q].position = t;
          slots[ranked[t].index].position = pos;
          ranked[pos] = ranked[t];
          ranked[t] = RankEntry{s, q};
        }
      }
  }
  return order;
}

// Random masks of every density, from specks to solid blocks (long runs of
// equal scores, many moves), at radii 0 to 6 and windows past the image;
// the last ones wider than a 64-bit word, with windows of up to 67 columns.
TEST(FillList, OrderEqualsTheLiteralPeel) {
  std::mt19937 rng(23);
  for (int trial = 0; trial < 180; ++trial) {
    const bool wide = trial >= 150;
    const int w = 1 + static_cast<int>(rng() % (wide ? 200 : 40));
    const int h = 1 + static_cast<int>(rng() % (wide ? 12 : 30));
    const int r = static_cast<int>(rng() % 7) + (wide && trial % 2 ? 27 : 0);
    const unsigned density = 1 + rng() % 4;
    std::vector<uint8_t> mask(w * h, 0);
    for (auto& b : mask) b = rng() % 4 < density;
    const int blocks = static_cast<int>(rng() % 3);
    for (int b = 0; b < blocks; ++b) {
      const int x0 = static_cast<int>(rng() % w), y0 = static_cast<int>(rng() % h);
      for (int y = y0; y < std::min(h, y0 + 12); ++y)
        for (int x = x0; x < std::min(w, x0 + 15); ++x) mask[y * w + x] = 1;
    }
    ASSERT_EQ(Order(mask, w, h, r), LiteralPeel(mask, w, h, r))
        << w << "x" << h << " r" << r << " trial " << trial;
  }
}

TEST(FillList, StopCheckEndsALongBuild) {
  std::vector<uint8_t> mask(300 * 300, 1);
  FillList list;
  int asked = 0;
  EXPECT_THROW(BuildFillList(list, mask.data(), 300, 300, 2,
                             [&] { return ++asked == 3; }),
               FillListStopped);
  EXPECT_EQ(asked, 3);
}

}  // namespace
}  // namespace pw
