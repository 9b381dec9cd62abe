#include "fill/smooth/biharmonic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>

namespace pw {
namespace {

using Index = int64_t;

// A factor pivot this small against the matrix's largest diagonal entry is
// taken for a singular matrix, a piece its equations leave undetermined:
// rounding leaves such a pivot near 1e-16 of it. A piece with known pixels
// beside it keeps its pivots far above; one held only at its ends (a line
// along the picture's edge between ignored pixels) falls below when many
// thousands of pixels long, and is left as it is.
constexpr double kPivotFloor = 1e-12;

struct Picture {
  uint8_t* pixels;
  int32_t width, height, channels, bytes_per_sample;
  size_t stride;
  uint8_t* state;

  uint8_t* Sample(Index p, int c) const {
    return pixels + static_cast<size_t>(p / width) * stride +
           (static_cast<size_t>(p % width) * channels + c) * bytes_per_sample;
  }
  double Get(Index p, int c) const {
    const uint8_t* s = Sample(p, c);
    if (bytes_per_sample == 1) return *s;
    uint16_t v;
    std::memcpy(&v, s, sizeof v);
    return v;
  }
  void Put(Index p, int c, double v) const {
    const double top = bytes_per_sample == 1 ? 255.0 : 65535.0;
    const double rounded = std::min(top, std::max(0.0, std::floor(v + 0.5)));
    uint8_t* s = Sample(p, c);
    if (bytes_per_sample == 1) {
      *s = static_cast<uint8_t>(rounded);
    } else {
      const auto w = static_cast<uint16_t>(rounded);
      std::memcpy(s, &w, sizeof w);
    }
  }
};

// One term of an equation: a pixel and its coefficient.
struct Term {
  Index pixel;
  double coef;
};

// The Laplacian at p as up to 5 terms; an axis along which p has a
// neighbour outside the picture is left out. False when a term would read
// an ignored pixel (state other than known or to fill).
bool Laplacian(const Picture& pic, Index p, Term* terms, int* count) {
  const int32_t x = static_cast<int32_t>(p % pic.width);
  const int32_t y = static_cast<int32_t>(p / pic.width);
  int n = 0;
  double centre = 0;
  if (x > 0 && x + 1 < pic.width) {
    terms[n++] = {p - 1, 1.0};
    terms[n++] = {p + 1, 1.0};
    centre -= 2;
  }
  if (y > 0 && y + 1 < pic.height) {
    terms[n++] = {p - pic.width, 1.0};
    terms[n++] = {p + pic.width, 1.0};
    centre -= 2;
  }
  if (n == 0) return false;  // a 1 x 1 picture: no equation
  terms[n++] = {p, centre};
  *count = n;
  for (int k = 0; k < n; ++k)
    if (pic.state[terms[k].pixel] > kSmoothFill) return false;
  return true;
}

// Pixels that can share an equation: those within two steps along the
// axes (the 8 neighbours, and two apart along a row or a column).
constexpr int kLinks[12][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1},
                               {0, 1},   {1, 1},  {-2, 0}, {2, 0},  {0, -2}, {0, 2}};

// The piece that holds `seed`, as sorted pixel indices; marks them seen.
std::vector<Index> CollectPiece(const Picture& pic, Index seed, std::vector<uint8_t>& seen) {
  std::vector<Index> piece{seed};
  seen[seed] = 1;
  for (size_t k = 0; k < piece.size(); ++k) {
    const int32_t x = static_cast<int32_t>(piece[k] % pic.width);
    const int32_t y = static_cast<int32_t>(piece[k] / pic.width);
    for (const auto& d : kLinks) {
      const int32_t nx = x + d[0], ny = y + d[1];
      if (nx < 0 || ny < 0 || nx >= pic.width || ny >= pic.height) continue;
      const Index q = static_cast<Index>(ny) * pic.width + nx;
      if (pic.state[q] != kSmoothFill || seen[q]) continue;
      seen[q] = 1;
      piece.push_back(q);
    }
  }
  std::sort(piece.begin(), piece.end());
  return piece;
}

// The pixels whose equations hold a pixel of the piece: the piece and its
// 4-neighbours, sorted.
std::vector<Index> EquationPixels(const Picture& pic, const std::vector<Index>& piece) {
  std::vector<Index> rows;
  rows.reserve(piece.size() * 3);
  for (Index p : piece) {
    const int32_t x = static_cast<int32_t>(p % pic.width);
    const int32_t y = static_cast<int32_t>(p / pic.width);
    rows.push_back(p);
    if (x > 0) rows.push_back(p - 1);
    if (x + 1 < pic.width) rows.push_back(p + 1);
    if (y > 0) rows.push_back(p - pic.width);
    if (y + 1 < pic.height) rows.push_back(p + pic.width);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

// The normal equations of one piece: (A^T A) x = A^T (-b), A the
// Laplacian's terms on the piece's pixels, b those on known pixels, one
// right-hand side per channel.
struct NormalEquations {
  Eigen::SparseMatrix<double> matrix;  // lower triangle
  Eigen::MatrixXd rhs;
  bool anchored = false;  // some equation holds a known pixel
};

NormalEquations BuildEquations(const Picture& pic, const std::vector<Index>& piece) {
  const auto n = static_cast<Eigen::Index>(piece.size());
  NormalEquations eq;
  eq.rhs = Eigen::MatrixXd::Zero(n, pic.channels);
  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(piece.size() * 16);
  Term terms[5];
  for (Index r : EquationPixels(pic, piece)) {
    int count = 0;
    if (!Laplacian(pic, r, terms, &count)) continue;
    Eigen::Index cols[5];
    double coefs[5];
    int unknowns = 0;
    double known[4] = {0, 0, 0, 0};
    for (int k = 0; k < count; ++k) {
      if (pic.state[terms[k].pixel] == kSmoothFill) {
        cols[unknowns] = std::lower_bound(piece.begin(), piece.end(), terms[k].pixel) - piece.begin();
        coefs[unknowns++] = terms[k].coef;
      } else {
        eq.anchored = true;
        for (int c = 0; c < pic.channels; ++c) known[c] += terms[k].coef * pic.Get(terms[k].pixel, c);
      }
    }
    for (int i = 0; i < unknowns; ++i) {
      for (int j = 0; j < unknowns; ++j)
        if (cols[j] <= cols[i]) triplets.emplace_back(cols[i], cols[j], coefs[i] * coefs[j]);
      for (int c = 0; c < pic.channels; ++c) eq.rhs(cols[i], c) -= coefs[i] * known[c];
    }
  }
  eq.matrix.resize(n, n);
  eq.matrix.setFromTriplets(triplets.begin(), triplets.end());
  return eq;
}

// Solves a piece's equations into `values` (pixels x channels); false when
// they leave it undetermined.
bool SolvePiece(const NormalEquations& eq, Eigen::MatrixXd* values) {
  if (!eq.anchored) return false;
  Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>, Eigen::Lower> ldlt(eq.matrix);
  if (ldlt.info() != Eigen::Success) return false;
  const double floor = kPivotFloor * eq.matrix.diagonal().maxCoeff();
  if (!(ldlt.vectorD().minCoeff() > floor)) return false;
  *values = ldlt.solve(eq.rhs);
  return ldlt.info() == Eigen::Success && values->allFinite();
}

void CheckLayout(const uint8_t* pixels, int32_t width, int32_t height, int32_t channels,
                 int32_t bytes_per_sample, size_t stride, const uint8_t* state) {
  if (width < 0 || height < 0) throw std::invalid_argument("smooth fill: negative picture size");
  if (channels < 1 || channels > 4)
    throw std::invalid_argument("smooth fill: channels must be 1 to 4, got " + std::to_string(channels));
  if (bytes_per_sample != 1 && bytes_per_sample != 2)
    throw std::invalid_argument("smooth fill: samples must be 1 or 2 bytes, got " +
                                std::to_string(bytes_per_sample));
  if (stride < static_cast<size_t>(width) * channels * bytes_per_sample)
    throw std::invalid_argument("smooth fill: row stride shorter than a row");
  if (width > 0 && height > 0 && (pixels == nullptr || state == nullptr))
    throw std::invalid_argument("smooth fill: no pixels or no state");
}

}  // namespace

int64_t SmoothFill(uint8_t* pixels, int32_t width, int32_t height, int32_t channels,
                   int32_t bytes_per_sample, size_t stride, uint8_t* state,
                   const std::function<bool()>& stop) {
  CheckLayout(pixels, width, height, channels, bytes_per_sample, stride, state);
  const Picture pic{pixels, width, height, channels, bytes_per_sample, stride, state};
  const Index total = static_cast<Index>(width) * height;
  std::vector<uint8_t> seen;
  int64_t filled = 0;
  Eigen::MatrixXd values;
  for (Index p = 0; p < total; ++p) {
    if (state[p] != kSmoothFill || (!seen.empty() && seen[p])) continue;
    if (stop && stop()) break;
    if (seen.empty()) seen.assign(static_cast<size_t>(total), 0);
    const std::vector<Index> piece = CollectPiece(pic, p, seen);
    if (!SolvePiece(BuildEquations(pic, piece), &values)) continue;
    for (size_t k = 0; k < piece.size(); ++k) {
      for (int c = 0; c < channels; ++c) pic.Put(piece[k], c, values(static_cast<Eigen::Index>(k), c));
      state[piece[k]] = kSmoothKnown;
    }
    filled += static_cast<int64_t>(piece.size());
  }
  return filled;
}

}  // namespace pw
