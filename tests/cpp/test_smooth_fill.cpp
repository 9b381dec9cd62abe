// The smooth fill: exact on planes and quadratics, 8 and 16 bits, 1 to 4
// channels; ignored pixels neither read nor written; undetermined pieces
// left; and the same bytes as a dense least-squares solve of the whole
// picture's problem.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <vector>

#include <Eigen/Dense>

#include "fill/smooth/biharmonic.h"

namespace pw {
namespace {

struct Pic {
  int w, h, ch, bps;
  std::vector<uint8_t> bytes, state;
  Pic(int width, int height, int channels, int bytes_per_sample)
      : w(width), h(height), ch(channels), bps(bytes_per_sample),
        bytes(size_t(width) * height * channels * bytes_per_sample, 0),
        state(size_t(width) * height, kSmoothKnown) {}
  size_t At(int x, int y, int c) const { return ((size_t(y) * w + x) * ch + c) * bps; }
  int Get(int x, int y, int c) const {
    if (bps == 1) return bytes[At(x, y, c)];
    uint16_t v;
    std::memcpy(&v, &bytes[At(x, y, c)], 2);
    return v;
  }
  void Set(int x, int y, int c, int v) {
    if (bps == 1) {
      bytes[At(x, y, c)] = uint8_t(v);
    } else {
      const uint16_t s = uint16_t(v);
      std::memcpy(&bytes[At(x, y, c)], &s, 2);
    }
  }
  int64_t Fill(const std::function<bool()>& stop = {}) {
    return SmoothFill(bytes.data(), w, h, ch, bps, size_t(w) * ch * bps, state.data(), stop);
  }
};

struct ExactCase {
  const char* name;
  int w, h, channels, bps;
  std::function<int(int x, int y, int c)> value;
  std::function<bool(int x, int y)> damaged;
};

// Each case's values are whole numbers, so that the known pixels carry
// no rounding and the fill must give them back exactly.
const ExactCase kExactCases[] = {
    {"SpeckInConstant", 7, 7, 1, 1, [](int, int, int) { return 77; },
     [](int x, int y) { return x == 3 && y == 3; }},
    // A plane has no Laplacian at the edges either.
    {"PlaneAtTheEdges", 30, 20, 3, 1, [](int x, int y, int c) { return 2 * x + 3 * y + 10 + c; },
     [](int x, int y) {
       return x == 0 || (x > 25 && y < 3) || (y == 19 && x > 10 && x < 14) ||
              (x == y + 5 && x > 8) || (x == y + 6 && x > 8);
     }},
    {"PlaneAtTheEdges16", 30, 20, 1, 2, [](int x, int y, int) { return 900 * x + 1000 * y + 7; },
     [](int x, int y) { return x == 29 || y == 0 || (x == 12 && y > 4 && y < 9); }},
    // Each channel its own plane, alpha too.
    {"RgbaPlanes", 24, 18, 4, 1,
     [](int x, int y, int c) {
       const int planes[4] = {2 * x + 3 * y + 10, 200 - x - 2 * y, 5 * x + 7, 100 + y};
       return planes[c];
     },
     [](int x, int y) { return (x >= 5 && x < 8 && y >= 4 && y < 7) || y == 17 || x == 0; }},
    // Quadratics, two pixels clear of the edges: specks and a 2 px scratch.
    {"Quadratic", 16, 16, 1, 1,
     [](int x, int y, int) { return (x - 8) * (x - 8) + 2 * (y - 8) * (y - 8) + 2 * x + 20; },
     [](int x, int y) {
       return (x == 4 && y == 3) || (x >= 9 && x < 12 && y >= 10 && y < 13) ||
              ((x == y || x == y + 1) && x >= 3 && x <= 12 && y >= 2);
     }},
    {"Quadratic16", 20, 16, 3, 2,
     [](int x, int y, int c) {
       return 90 * ((x - 9) * (x - 9) + 2 * (y - 8) * (y - 8)) + 3 * x + 50 + 1000 * c;
     },
     [](int x, int y) {
       return (y == 7 || y == 8) && x >= 2 && x < 18;
     }},
};

class SmoothFillExact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(SmoothFillExact, GivesTheValuesBack) {
  const ExactCase& k = GetParam();
  Pic want(k.w, k.h, k.channels, k.bps);
  for (int y = 0; y < k.h; ++y)
    for (int x = 0; x < k.w; ++x)
      for (int c = 0; c < k.channels; ++c) want.Set(x, y, c, k.value(x, y, c));
  Pic pic = want;
  int64_t damaged = 0;
  for (int y = 0; y < k.h; ++y)
    for (int x = 0; x < k.w; ++x)
      if (k.damaged(x, y)) {
        ++damaged;
        pic.state[y * k.w + x] = kSmoothFill;
        for (int c = 0; c < k.channels; ++c) pic.Set(x, y, c, 0);
      }
  EXPECT_EQ(pic.Fill(), damaged);
  EXPECT_EQ(pic.bytes, want.bytes);
  EXPECT_EQ(pic.state, want.state);
}

INSTANTIATE_TEST_SUITE_P(Cases, SmoothFillExact, ::testing::ValuesIn(kExactCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmoothFill, IgnoredPixelsAreNeitherReadNorWritten) {
  Pic pic(24, 16, 1, 1);
  for (int y = 0; y < pic.h; ++y)
    for (int x = 0; x < pic.w; ++x) pic.Set(x, y, 0, 3 * x + 4 * y + 9);
  const Pic want = pic;
  auto mark = [&](int x, int y, uint8_t s) {
    pic.state[y * pic.w + x] = s;
    pic.Set(x, y, 0, s == uint8_t{kSmoothIgnored} ? 255 : 0);
  };
  // A piece beside an ignored column (its garbage would show if read).
  for (int y = 3; y < 12; ++y) mark(12, y, kSmoothIgnored);
  for (int y = 5; y < 9; ++y) mark(13, y, kSmoothFill), mark(14, y, kSmoothFill);
  // A 2 x 2 piece walled in by ignored pixels: nothing to lean on.
  for (int y = 2; y < 6; ++y)
    for (int x = 2; x < 6; ++x) mark(x, y, (x == 2 || x == 5 || y == 2 || y == 5) ? kSmoothIgnored : kSmoothFill);
  const Pic before = pic;

  EXPECT_EQ(pic.Fill(), 8);
  for (int y = 0; y < pic.h; ++y)
    for (int x = 0; x < pic.w; ++x) {
      const bool right_piece = x >= 13 && x < 15 && y >= 5 && y < 9;
      EXPECT_EQ(pic.Get(x, y, 0), (right_piece ? want : before).Get(x, y, 0)) << x << "," << y;
      EXPECT_EQ(pic.state[y * pic.w + x], right_piece ? uint8_t{kSmoothKnown} : before.state[y * pic.w + x]);
    }
}

TEST(SmoothFill, LeavesAPictureWithNothingKnownAndStopsWhenAsked) {
  Pic all(6, 5, 3, 2);
  all.state.assign(all.state.size(), kSmoothFill);
  EXPECT_EQ(all.Fill(), 0);
  EXPECT_EQ(all.state, std::vector<uint8_t>(30, kSmoothFill));

  Pic speck(6, 5, 1, 1);
  speck.state[8] = kSmoothFill;
  EXPECT_EQ(speck.Fill([] { return true; }), 0);
  EXPECT_EQ(speck.state[8], kSmoothFill);
}

TEST(SmoothFill, RefusesLayoutsItCannotAddress) {
  std::vector<uint8_t> bytes(64), state(4);
  EXPECT_THROW(SmoothFill(bytes.data(), 2, 2, 5, 1, 10, state.data()), std::invalid_argument);
  EXPECT_THROW(SmoothFill(bytes.data(), 2, 2, 1, 4, 8, state.data()), std::invalid_argument);
  EXPECT_THROW(SmoothFill(bytes.data(), 2, 2, 3, 2, 11, state.data()), std::invalid_argument);
}

// The whole picture's least-squares problem, solved densely: one equation
// per pixel that is not ignored, whose Laplacian reads no ignored pixel and
// holds an unknown; the axis term dropped at the edges.
std::vector<double> DenseSolve(const Pic& pic, int c) {
  std::vector<int> column(pic.w * pic.h, -1);
  int n = 0;
  for (int p = 0; p < pic.w * pic.h; ++p)
    if (pic.state[p] == kSmoothFill) column[p] = n++;
  std::vector<std::vector<std::pair<int, double>>> rows;
  for (int y = 0; y < pic.h; ++y)
    for (int x = 0; x < pic.w; ++x) {
      std::vector<std::pair<int, double>> row;  // (pixel, coefficient)
      if (x > 0 && x < pic.w - 1) row.insert(row.end(), {{y * pic.w + x - 1, 1}, {y * pic.w + x + 1, 1}});
      if (y > 0 && y < pic.h - 1) row.insert(row.end(), {{(y - 1) * pic.w + x, 1}, {(y + 1) * pic.w + x, 1}});
      if (row.empty()) continue;
      row.push_back({y * pic.w + x, -double(row.size())});
      bool ignored = false, unknown = false;
      for (auto& t : row) {
        ignored |= pic.state[t.first] == kSmoothIgnored;
        unknown |= pic.state[t.first] == kSmoothFill;
      }
      if (!ignored && unknown) rows.push_back(row);
    }
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(Eigen::Index(rows.size()), n);
  Eigen::VectorXd b = Eigen::VectorXd::Zero(Eigen::Index(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r)
    for (auto& [p, coef] : rows[r]) {
      if (column[p] >= 0) a(Eigen::Index(r), column[p]) += coef;
      else b(Eigen::Index(r)) -= coef * pic.Get(p % pic.w, p / pic.w, c);
    }
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(a);
  EXPECT_EQ(qr.rank(), n);
  const Eigen::VectorXd x = qr.solve(b);
  return std::vector<double>(x.data(), x.data() + n);
}

TEST(SmoothFill, MatchesADenseSolveAndRepeatsItself) {
  std::mt19937 rng(5);
  Pic pic(11, 9, 3, 1);
  for (auto& v : pic.bytes) v = uint8_t(rng() % 256);
  // Specks and a short line, some at the edges, two pieces a pixel apart,
  // and ignored pixels beside some.
  for (int p : {0, 1, 12, 30, 31, 32, 34, 35, 60, 61, 72, 87, 98, 50, 53})
    pic.state[p] = kSmoothFill;
  for (int p : {3, 25, 49, 71}) pic.state[p] = kSmoothIgnored;
  Pic again = pic;

  std::vector<std::vector<double>> exact;
  for (int c = 0; c < pic.ch; ++c) exact.push_back(DenseSolve(pic, c));
  ASSERT_EQ(pic.Fill(), 15);
  int k = 0;
  for (int p = 0; p < pic.w * pic.h; ++p) {
    if (again.state[p] != kSmoothFill) continue;
    for (int c = 0; c < pic.ch; ++c) {
      // Rounded to nearest: within a half of the exact value (either way
      // at a tie, which whole-number data can give).
      const double v = std::min(255.0, std::max(0.0, exact[c][k]));
      EXPECT_NEAR(pic.Get(p % pic.w, p / pic.w, c), v, 0.5 + 1e-9) << "pixel " << p << " channel " << c;
    }
    ++k;
  }
  again.Fill();
  EXPECT_EQ(again.bytes, pic.bytes);
}

}  // namespace
}  // namespace pw
