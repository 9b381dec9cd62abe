#include "detect/dust_features.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "detect/dilate.h"

namespace pw::detect {
namespace {

constexpr std::array<int32_t, 5> kLumaRings{2, 3, 5, 8, 11};
constexpr std::array<int32_t, 4> kColourRings{2, 3, 5, 8};
// A gray picture's colour rings are read off its luma rings.
static_assert([] {
  for (size_t i = 0; i < kColourRings.size(); ++i)
    if (kColourRings[i] != kLumaRings[i]) return false;
  return true;
}());
constexpr std::array<int32_t, 4> kBlobRings{2, 3, 5, 8};
constexpr std::array<int32_t, 3> kBoxes{3, 7, 15};  // half sides: 7, 15 and 31 wide
// A candidate stands out from a whole ring by this many gray levels.
constexpr int32_t kCandidateLevels = 4;
constexpr int32_t kCandidateReach = 2;
// The blob responses' block level, as for the thresholds of the ring finder.
constexpr LevelRule kBlockLevel{0.98, 1.0, 0.0};

constexpr float kLevel = 1.0f / kSumUnits;

// Sum units of the smoothed planes in gray levels.
float Levels(int64_t units) { return static_cast<float>(units) * kLevel; }

struct RingRange {
  int32_t lo, hi;
};

RingRange RangeOn(const int16_t* c, const std::vector<ptrdiff_t>& ring) {
  RingRange r{c[ring[0]], c[ring[0]]};
  for (ptrdiff_t o : ring) {
    r.lo = std::min<int32_t>(r.lo, c[o]);
    r.hi = std::max<int32_t>(r.hi, c[o]);
  }
  return r;
}

std::array<LineProbe, 8> LineProbes(ptrdiff_t stride) {
  std::array<LineProbe, 8> probes{};
  for (int k = 0; k < 8; ++k) {
    const double a = M_PI * k / 8, dx = std::cos(a), dy = std::sin(a);
    for (int t = -5; t <= 5; ++t)
      probes[k].along[t + 5] = std::lround(t * dy) * stride + std::lround(t * dx);
    probes[k].side = std::lround(3 * dx) * stride - std::lround(3 * dy);
  }
  return probes;
}

struct BoxTotals {
  int64_t sum, squares;
};

// The same sums read pixel by pixel, for the few pixels outside any band.
BoxTotals DirectBox(const PaddedPlane& p, int32_t x, int32_t y, int32_t h) {
  BoxTotals t{0, 0};
  for (int32_t dy = -h; dy <= h; ++dy) {
    const int16_t* row = p.Row(y + dy) + x;
    for (int32_t dx = -h; dx <= h; ++dx) {
      const int64_t v = row[dx];
      t.sum += v;
      t.squares += v * v;
    }
  }
  return t;
}

// Mean and spread in gray levels of a (2h + 1)^2 box from its sums.
void MeanSpread(const BoxTotals& t, int32_t h, float* mean, float* spread) {
  const double n = double(2 * h + 1) * (2 * h + 1);
  const double m = double(t.sum) / n;
  const double v = std::max(0.0, double(t.squares) / n - m * m);
  *mean = static_cast<float>(m * kLevel);
  *spread = static_cast<float>(std::sqrt(v) * kLevel);
}

// Sums of the luma plane and of its squares over rows [y0 - kBoxes.back(),
// y1 + kBoxes.back()], for box means and spreads.
class BoxSums {
 public:
  BoxSums(const PaddedPlane& p, int32_t y0, int32_t y1)
      : reach_(kBoxes.back()), first_(y0 - reach_), width_(p.width + 2 * reach_ + 1) {
    const int32_t rows = y1 - y0 + 2 * reach_ + 1;
    sum_.assign(static_cast<size_t>(rows) * width_, 0);
    squares_.assign(sum_.size(), 0);
    for (int32_t r = 1; r < rows; ++r) {
      const int16_t* in = p.Row(first_ + r - 1) - reach_;
      int64_t s = 0, q = 0;
      for (int32_t x = 1; x < width_; ++x) {
        const int64_t v = in[x - 1];
        s += v;
        q += v * v;
        At(sum_, r, x) = At(sum_, r - 1, x) + s;
        At(squares_, r, x) = At(squares_, r - 1, x) + q;
      }
    }
  }
  // The sums over the (2h + 1)^2 box about (x, y).
  BoxTotals At(int32_t x, int32_t y, int32_t h) const {
    const int32_t r0 = y - h - first_, r1 = y + h + 1 - first_;
    const int32_t c0 = x - h + reach_, c1 = x + h + 1 + reach_;
    return {Box(sum_, r0, r1, c0, c1), Box(squares_, r0, r1, c0, c1)};
  }

 private:
  int64_t& At(std::vector<int64_t>& t, int32_t r, int32_t x) {
    return t[static_cast<size_t>(r) * width_ + x];
  }
  int64_t Box(const std::vector<int64_t>& t, int32_t r0, int32_t r1, int32_t c0,
              int32_t c1) const {
    auto at = [&](int32_t r, int32_t c) { return t[static_cast<size_t>(r) * width_ + c]; };
    return at(r1, c1) - at(r0, c1) - at(r1, c0) + at(r0, c0);
  }
  int32_t reach_, first_, width_;
  std::vector<int64_t> sum_, squares_;
};

}  // namespace

SpeckPlanes MakeSpeckPlanes(const PictureView& picture) {
  SpeckPlanes p;
  p.luma = LumaPlane(picture, kSpeckPad, true, Sample::Luma, Border::Mirror);
  p.brightest = LumaPlane(picture, kSpeckPad, true, Sample::Brightest, Border::Mirror);
  p.darkest = LumaPlane(picture, kSpeckPad, true, Sample::Darkest, Border::Mirror);
  p.gray = p.brightest.data == p.darkest.data && p.luma.data == p.darkest.data;
  p.blob = BlobResponses(p.luma, {kBlobRings.begin(), kBlobRings.end()});
  p.dark_level = TextureThresholds(p.blob.dark, picture.width, picture.height, kBlockLevel, 1.0);
  p.bright_level =
      TextureThresholds(p.blob.bright, picture.width, picture.height, kBlockLevel, 1.0);
  return p;
}

std::vector<uint8_t> SpeckCandidates(const SpeckPlanes& planes) {
  constexpr int32_t floor = kCandidateLevels * kSumUnits;
  const int32_t w = planes.luma.width, h = planes.luma.height;
  std::vector<uint8_t> core(static_cast<size_t>(w) * h), pick;
  for (size_t i = 0; i < core.size(); ++i)
    core[i] = planes.blob.dark[i] >= floor || planes.blob.bright[i] >= floor;
  pick = core;
  Dilate(pick.data(), w, h, kCandidateReach);
  for (size_t i = 0; i < core.size(); ++i) pick[i] += core[i];
  return pick;
}

namespace {

// The features of the pixel at (x, y); `boxes` covers its row, or is null.
void FeaturesAt(const SpeckPlanes& planes, const Probes& probes, const BoxSums* boxes,
                int32_t x, int32_t y, float* f) {
  const PaddedPlane& L = planes.luma;
  const size_t index = static_cast<size_t>(y) * L.width + x;
  const int16_t* c = L.Row(y) + x;
  const int32_t v = *c;
  int k = 0;
  f[k++] = Levels(v);
  std::array<float, 5> dark{}, bright{};
  for (size_t i = 0; i < probes.luma_rings.size(); ++i) {
    const RingRange r = RangeOn(c, probes.luma_rings[i]);
    dark[i] = Levels(r.lo - v);
    bright[i] = Levels(v - r.hi);
    f[k++] = dark[i];
    f[k++] = bright[i];
    f[k++] = Levels(r.hi - r.lo);
  }
  const int16_t* hi = planes.brightest.Row(y) + x;
  const int16_t* lo = planes.darkest.Row(y) + x;
  for (size_t i = 0; i < probes.colour_rings.size(); ++i) {
    // On a gray picture the colour rings read what the luma rings of the
    // same radius did.
    f[k++] = planes.gray ? dark[i] : Levels(RangeOn(hi, probes.colour_rings[i]).lo - *hi);
    f[k++] = planes.gray ? bright[i] : Levels(*lo - RangeOn(lo, probes.colour_rings[i]).hi);
  }
  f[k++] = Levels(*hi - *lo);
  int32_t near_lo = c[-L.stride - 1], near_hi = near_lo;
  for (int32_t dy = -1; dy <= 1; ++dy)
    for (int32_t dx = -1; dx <= 1; ++dx)
      if (dx | dy) {
        near_lo = std::min<int32_t>(near_lo, c[dy * L.stride + dx]);
        near_hi = std::max<int32_t>(near_hi, c[dy * L.stride + dx]);
      }
  f[k++] = Levels(near_lo - v);
  f[k++] = Levels(v - near_hi);
  float spread15 = 0;
  for (int32_t h : kBoxes) {
    MeanSpread(boxes ? boxes->At(x, y, h) : DirectBox(L, x, y, h), h, &f[k], &f[k + 1]);
    if (h == 7) spread15 = f[k + 1];
    k += 2;
  }
  int32_t line_dark = -65536, line_bright = -65536;
  for (const LineProbe& p : probes.lines) {
    int32_t on = 0, left = 0, right = 0;
    for (ptrdiff_t o : p.along) {
      on += c[o];
      left += c[o + p.side];
      right += c[o - p.side];
    }
    line_dark = std::max(line_dark, std::min(left, right) - on);
    line_bright = std::max(line_bright, on - std::max(left, right));
  }
  const float ld = Levels(line_dark) / 11, lb = Levels(line_bright) / 11;
  f[k++] = ld;
  f[k++] = lb;
  const uint32_t bd = planes.blob.dark[index], bb = planes.blob.bright[index];
  f[k++] = Levels(bd);
  f[k++] = Levels(bb);
  f[k++] = Levels(bd) / (Levels(planes.dark_level.At(x, y)) + 2.0f);
  f[k++] = Levels(bb) / (Levels(planes.bright_level.At(x, y)) + 2.0f);
  const float norm = 1.0f / (spread15 + 2.0f);
  for (size_t i = 0; i < dark.size(); ++i) {
    f[k++] = dark[i] * norm;
    f[k++] = bright[i] * norm;
  }
  f[k++] = ld * norm;
  f[k++] = lb * norm;
}

}  // namespace

Probes::Probes(ptrdiff_t stride) : lines(LineProbes(stride)) {
  for (int32_t r : kLumaRings) luma_rings.push_back(RingOffsets(r, stride));
  for (int32_t r : kColourRings) colour_rings.push_back(RingOffsets(r, stride));
}

void ForSpeckFeatures(const SpeckPlanes& planes, int32_t y0, int32_t y1, const uint8_t* pick,
                      const std::function<void(size_t, const float*)>& use) {
  const int32_t w = planes.luma.width;
  const Probes probes(planes.luma.stride);
  const BoxSums boxes(planes.luma, y0, y1);
  std::array<float, kSpeckFeatureCount> f;
  for (int32_t y = y0; y < y1; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const size_t index = static_cast<size_t>(y) * w + x;
      if (!pick[index]) continue;
      FeaturesAt(planes, probes, &boxes, x, y, f.data());
      use(index, f.data());
    }
}

void SpeckFeatures(const SpeckPlanes& planes, const Probes& probes, int32_t x, int32_t y,
                   float* out) {
  FeaturesAt(planes, probes, nullptr, x, y, out);
}

}  // namespace pw::detect
