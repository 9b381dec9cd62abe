#include "detect/lines.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "detect/line_gaps.h"
#include "detect/line_model.h"
#include "detect/texture_level.h"
#include "detect/tree_model.h"

namespace pw::detect {
namespace {

constexpr int kDirections = 8;
constexpr int32_t kAlong = 3;  // samples on each side of the centre, along the line
constexpr int32_t kSamples = 2 * kAlong + 1;
// The flanks are looked at again this much further out: a calm flank
// stays level, one on a texture or beside an edge does not.
constexpr std::array<int32_t, 4> kFarther = {1, 2, 3, 4};

// Levels in gray levels; noise multiples of the grain's spread.
constexpr int32_t kSeedLevel = 20, kGrowLevel = 10, kMeanLevel = 14;
constexpr int32_t kSeedNoise = 6, kGrowNoise = 3;
constexpr int32_t kSeedShare = 30;  // percent of a run's pixels
constexpr int32_t kRunWidth = 5;    // a run's area at most this many times its extent
// The probability the line model must give a run at sensitivity 1;
// sensitivity s divides the odds needed by s. Low, as the model is asked
// only about runs that pass the finder's own rules.
constexpr double kLineProbability = 0.2;

// Distances across a line to its flanks: beyond half the widest line.
int32_t NearestFlank() { return 2; }
int32_t FarthestFlank(int32_t max_width) { return max_width / 2 + 1; }
int32_t AcrossReach(int32_t max_width) { return FarthestFlank(max_width) + kFarther.back(); }

struct Offset {
  int32_t dy, dx;
};

struct Direction {
  std::array<Offset, kSamples> along;
  double cos, sin;
  Offset Across(int32_t d) const {
    return {static_cast<int32_t>(std::lround(d * cos)), static_cast<int32_t>(std::lround(-d * sin))};
  }
};

// Samples along a line stepping one pixel along its major axis, so that
// every direction averages the same number of them.
std::vector<Direction> Directions() {
  std::vector<Direction> out;
  for (int k = 0; k < kDirections; ++k) {
    const double a = k * M_PI / kDirections;
    Direction d{{}, std::cos(a), std::sin(a)};
    const bool flat = std::abs(d.cos) >= std::abs(d.sin);
    for (int32_t i = -kAlong; i <= kAlong; ++i) {
      const auto minor = static_cast<int32_t>(
          std::lround(flat ? i * d.sin / d.cos : i * d.cos / d.sin));
      d.along[i + kAlong] = flat ? Offset{minor, i} : Offset{i, minor};
    }
    out.push_back(d);
  }
  return out;
}

// The sums along one direction for the rows y0 - reach .. y1 + reach and
// the columns -reach .. width + reach of a band.
struct AlongSums {
  int32_t y0 = 0, reach = 0;
  ptrdiff_t stride = 0;
  std::vector<int16_t> sum;
  const int16_t* At(int32_t y, Offset o) const {
    return sum.data() + (y - y0 + reach + o.dy) * stride + reach + o.dx;
  }
};

PW_ROW_LOOPS
void AddRow(const int16_t* __restrict in, ptrdiff_t n, int16_t* __restrict out) {
  for (ptrdiff_t x = 0; x < n; ++x) out[x] = static_cast<int16_t>(out[x] + in[x]);
}

void SumAlong(const PaddedPlane& plane, const Direction& dir, int32_t y0, int32_t y1,
              AlongSums& s) {
  const int32_t w = plane.width;
  s.y0 = y0;
  s.stride = w + 2 * s.reach;
  s.sum.resize(static_cast<size_t>(y1 - y0 + 2 * s.reach) * s.stride);
  for (int32_t y = y0 - s.reach; y < y1 + s.reach; ++y) {
    int16_t* out = s.sum.data() + (y - y0 + s.reach) * s.stride;
    const Offset first = dir.along[0];
    const int16_t* in = plane.Row(y + first.dy) - s.reach + first.dx;
    std::copy(in, in + s.stride, out);
    // Plane values stay below 9 * 256: seven of them fit in int16.
    for (int i = 1; i < kSamples; ++i) {
      const Offset o = dir.along[i];
      AddRow(plane.Row(y + o.dy) - s.reach + o.dx, s.stride, out);
    }
    // An eighth keeps every difference below in int16, the type SSE2
    // takes minima and maxima of.
    for (ptrdiff_t x = 0; x < s.stride; ++x) out[x] = static_cast<int16_t>(out[x] >> 3);
  }
}

struct RowMaxima {
  int16_t *dark, *bright, *seed_dark, *seed_bright;
};

int16_t Spread(int16_t a, int16_t b, int16_t c, int16_t d, int16_t e) {
  return static_cast<int16_t>(std::max(std::max(a, std::max(b, c)), std::max(d, e)) -
                              std::min(std::min(a, std::min(b, c)), std::min(d, e)));
}

// Pointers to the flank sums of one side: at the distance, then further out.
using Side = std::array<const int16_t*, 1 + kFarther.size()>;

// The flanks of a row at one distance (a[0], b[0]) and further out, and
// its centre c: the contrast against the nearer flank, less the larger
// variation of either flank outwards. Eighths of sums of seven samples
// stay below 2^11: no step overflows. Arguments rather than locals carry
// restrict, which lets the compiler keep the loop in vector registers.
PW_ROW_LOOPS
void FlankStep(const int16_t* __restrict c, const int16_t* __restrict a,
               const int16_t* __restrict a1, const int16_t* __restrict a2,
               const int16_t* __restrict a3, const int16_t* __restrict a4,
               const int16_t* __restrict b, const int16_t* __restrict b1,
               const int16_t* __restrict b2, const int16_t* __restrict b3,
               const int16_t* __restrict b4, int32_t w, int16_t* __restrict md,
               int16_t* __restrict mb, int16_t* __restrict sd, int16_t* __restrict sb) {
  for (int32_t x = 0; x < w; ++x) {
    const int16_t va = a[x], vb = b[x];
    const auto spread = std::max(Spread(va, a1[x], a2[x], a3[x], a4[x]),
                                 Spread(vb, b1[x], b2[x], b3[x], b4[x]));
    const auto dark = static_cast<int16_t>(std::min(va, vb) - c[x] - spread);
    const auto bright = static_cast<int16_t>(c[x] - std::max(va, vb) - spread);
    const auto differ = static_cast<int16_t>(std::max(va, vb) - std::min(va, vb));
    md[x] = std::max(md[x], dark);
    mb[x] = std::max(mb[x], bright);
    sd[x] = std::max(sd[x], static_cast<int16_t>(dark - differ));
    sb[x] = std::max(sb[x], static_cast<int16_t>(bright - differ));
  }
}

void FlankRow(const AlongSums& s, const Direction& dir, int32_t d, int32_t y, int32_t w,
              const RowMaxima& m) {
  Side a, b;
  for (int32_t sign : {1, -1}) {
    Side& side = sign > 0 ? a : b;
    side[0] = s.At(y, dir.Across(sign * d));
    for (size_t k = 0; k < kFarther.size(); ++k)
      side[k + 1] = s.At(y, dir.Across(sign * (d + kFarther[k])));
  }
  FlankStep(s.At(y, {0, 0}), a[0], a[1], a[2], a[3], a[4], b[0], b[1], b[2], b[3], b[4], w,
            m.dark, m.bright, m.seed_dark, m.seed_bright);
}

// Eighths of sums of kSamples plane values to sum units of one value.
int16_t ToSumUnits(int16_t eighths) {
  return static_cast<int16_t>(std::max(0, eighths * 8 / kSamples));
}

}  // namespace

int32_t LinePad(int32_t max_width) { return AcrossReach(max_width) + kAlong + 1; }

LineMaps OrientedLines(const PaddedPlane& plane, int32_t max_width) {
  const std::vector<Direction> directions = Directions();
  const int32_t w = plane.width, h = plane.height;
  const size_t n = static_cast<size_t>(w) * h;
  LineMaps out;
  out.dark.resize(n);
  out.bright.resize(n);
  out.seed_dark.resize(n);
  out.seed_bright.resize(n);
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    AlongSums sums;
    sums.reach = AcrossReach(max_width);
    const size_t band = static_cast<size_t>(y1 - y0) * w;
    std::vector<int16_t> dark(band, 0), bright(band, 0), seed_dark(band, 0), seed_bright(band, 0);
    for (const Direction& dir : directions) {
      SumAlong(plane, dir, y0, y1, sums);
      for (int32_t y = y0; y < y1; ++y) {
        const size_t row = static_cast<size_t>(y - y0) * w;
        const RowMaxima m{dark.data() + row, bright.data() + row, seed_dark.data() + row,
                          seed_bright.data() + row};
        for (int32_t d = NearestFlank(); d <= FarthestFlank(max_width); ++d)
          FlankRow(sums, dir, d, y, w, m);
      }
    }
    const size_t first = static_cast<size_t>(y0) * w;
    for (size_t i = 0; i < band; ++i) {
      out.dark[first + i] = ToSumUnits(dark[i]);
      out.bright[first + i] = ToSumUnits(bright[i]);
      out.seed_dark[first + i] = ToSumUnits(seed_dark[i]);
      out.seed_bright[first + i] = ToSumUnits(seed_bright[i]);
    }
  });
  return out;
}

int32_t GrainGrid::At(int32_t x, int32_t y) const {
  return value[static_cast<size_t>(y / kBlock) * cols + x / kBlock];
}

GrainGrid GrainLevels(const PaddedPlane& plane) {
  constexpr int32_t kBins = 1024;
  GrainGrid g;
  g.cols = (plane.width + kBlock - 1) / kBlock;
  g.rows = (plane.height + kBlock - 1) / kBlock;
  g.value.resize(static_cast<size_t>(g.cols) * g.rows);
  ForRowBands(g.rows, [&](int32_t r0, int32_t r1) {
    std::vector<uint32_t> histogram(kBins);
    for (int32_t by = r0; by < r1; ++by)
      for (int32_t bx = 0; bx < g.cols; ++bx) {
        std::fill(histogram.begin(), histogram.end(), 0u);
        const int32_t x0 = bx * kBlock, x1 = std::min(plane.width, x0 + kBlock);
        const int32_t y0 = by * kBlock, y1 = std::min(plane.height, y0 + kBlock);
        // Every other pixel of every other row is sample enough for a median.
        uint32_t count = 0;
        for (int32_t y = y0; y < y1; y += 2)
          for (int32_t x = x0; x < x1; x += 2, ++count) {
            int32_t around = 0;
            for (int32_t dy = -1; dy <= 1; ++dy)
              for (int32_t dx = -1; dx <= 1; ++dx) around += plane.Row(y + dy)[x + dx];
            // What the 3 x 3 mean leaves, in sum units.
            const int32_t rest = std::abs(9 * plane.Row(y)[x] - around) / 9;
            ++histogram[std::min(rest, kBins - 1)];
          }
        const uint32_t half = count / 2;
        uint32_t seen = 0;
        int32_t median = 0;
        while (median < kBins - 1 && (seen += histogram[median]) <= half) ++median;
        // 1.4826 times the median absolute deviation: the spread of a
        // normal grain.
        g.value[static_cast<size_t>(by) * g.cols + bx] = (median * 1483 + 500) / 1000;
      }
  });
  return g;
}

namespace {

// What the line model sees of a run: its size and shape (the spread of its
// pixels along and across its main axis), its contrast and how even it is,
// the grain around, and the picture's level under it.
std::array<float, kLineRunFeatureCount> RunFeatures(const std::vector<size_t>& run,
                                                    const std::vector<int16_t>& response,
                                                    const std::vector<int16_t>& seed,
                                                    int64_t seeds, const GrainGrid& grain,
                                                    const PaddedPlane& plane, bool dark) {
  const int32_t w = plane.width;
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sr = 0, srr = 0, rmax = 0, sg = 0;
  double sl = 0, sll = 0, differ = 0;
  int32_t x0 = w, x1 = -1, y0 = plane.height, y1 = -1;
  for (size_t i : run) {
    const auto x = static_cast<int32_t>(i % w), y = static_cast<int32_t>(i / w);
    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    sx += x, sy += y, sxx += double(x) * x, syy += double(y) * y, sxy += double(x) * y;
    const double r = double(response[i]) / kSumUnits;
    sr += r, srr += r * r, rmax = std::max(rmax, r);
    sg += double(grain.At(x, y)) / kSumUnits;
    // How much the two flanks differ: little for a fibre lying over the
    // picture, much for the rim of a highlight or a contour.
    differ += double(response[i] - seed[i]) / kSumUnits;
    const double l = double(plane.Row(y)[x]) / kSumUnits;
    sl += l, sll += l * l;
  }
  const double n = double(run.size());
  const double mx = sx / n, my = sy / n;
  const double cxx = sxx / n - mx * mx, cyy = syy / n - my * my, cxy = sxy / n - mx * my;
  // The spreads along and across the main axis: the covariance's eigenvalues.
  const double mid = (cxx + cyy) / 2;
  const double half = std::sqrt(std::max(0.0, mid * mid - cxx * cyy + cxy * cxy));
  const double major = std::sqrt(std::max(0.0, mid + half));
  const double minor = std::sqrt(std::max(0.0, mid - half));
  const double extent = std::max(x1 - x0, y1 - y0) + 1;
  const double mean = sr / n, grain_mean = sg / n, level = sl / n;
  return {static_cast<float>(n),
          static_cast<float>(extent),
          static_cast<float>(n / extent),
          static_cast<float>(mean),
          static_cast<float>(rmax),
          static_cast<float>(std::sqrt(std::max(0.0, srr / n - mean * mean)) / (mean + 1)),
          static_cast<float>(double(seeds) / n),
          static_cast<float>(grain_mean),
          static_cast<float>(mean / (grain_mean + 1)),
          dark ? 1.0f : 0.0f,
          static_cast<float>(level),
          static_cast<float>(std::sqrt(std::max(0.0, sll / n - level * level))),
          static_cast<float>(major),
          static_cast<float>(minor),
          static_cast<float>(minor / (major + 1)),
          static_cast<float>(std::hypot(x1 - x0 + 1, y1 - y0 + 1) / n),
          static_cast<float>(differ / n / (mean + 1))};
}

}  // namespace

LineInputs ReadLines(const PictureView& picture, int32_t max_width) {
  LineInputs in;
  // Lines are averaged along their length only: smoothing across would
  // wash out the thinnest.
  in.luma = LumaPlane(picture, LinePad(max_width), false);
  in.maps = OrientedLines(in.luma, max_width);
  in.grain = GrainLevels(in.luma);
  return in;
}

std::vector<LineRun> FindLineRuns(const LineInputs& in, bool dark, int32_t min_length,
                                  double sensitivity) {
  const PaddedPlane& plane = in.luma;
  const GrainGrid& grain = in.grain;
  const std::vector<int16_t>& response = dark ? in.maps.dark : in.maps.bright;
  const std::vector<int16_t>& seed = dark ? in.maps.seed_dark : in.maps.seed_bright;
  const int32_t width = plane.width, height = plane.height;
  const double scale = kSumUnits / std::max(sensitivity, 1e-3);
  // Per block: the levels a pixel must pass to grow a run and to seed it.
  std::vector<int32_t> grow_level(grain.value.size()), seed_level(grain.value.size());
  for (size_t b = 0; b < grain.value.size(); ++b) {
    const double spread = grain.value[b] / std::max(sensitivity, 1e-3);
    grow_level[b] = static_cast<int32_t>(std::max(kGrowLevel * scale, kGrowNoise * spread));
    seed_level[b] = static_cast<int32_t>(std::max(kSeedLevel * scale, kSeedNoise * spread));
  }
  auto block = [&](size_t i) {
    return static_cast<size_t>(i / width / kBlock) * grain.cols + (i % width) / kBlock;
  };
  auto grows = [&](size_t i) { return response[i] > grow_level[block(i)]; };
  const int32_t lowest = *std::min_element(grow_level.begin(), grow_level.end());
  std::vector<uint8_t> seen(static_cast<size_t>(width) * height, 0);
  std::vector<size_t> run;
  std::vector<LineRun> found;
  for (size_t start = 0; start < seen.size(); ++start) {
    // Most pixels pass no level at all: the lowest one skips them cheaply.
    if (response[start] <= lowest || seen[start] || !grows(start)) continue;
    run.assign(1, start);
    seen[start] = 1;
    int32_t x0 = width, y0 = height, x1 = -1, y1 = -1;
    int64_t seeds = 0, total = 0;
    for (size_t k = 0; k < run.size(); ++k) {
      const size_t i = run[k];
      const auto x = int32_t(i % width), y = int32_t(i / width);
      x0 = std::min(x0, x), x1 = std::max(x1, x);
      y0 = std::min(y0, y), y1 = std::max(y1, y);
      total += response[i];
      seeds += seed[i] > seed_level[block(i)];
      for (int32_t dy = -1; dy <= 1; ++dy)
        for (int32_t dx = -1; dx <= 1; ++dx) {
          const int32_t nx = x + dx, ny = y + dy;
          if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
          const size_t n = static_cast<size_t>(ny) * width + nx;
          if (!seen[n] && grows(n)) {
            seen[n] = 1;
            run.push_back(n);
          }
        }
    }
    const auto area = static_cast<int64_t>(run.size());
    const int64_t extent = std::max(x1 - x0, y1 - y0) + 1;
    const bool keep = extent >= min_length && area <= kRunWidth * extent &&
                      100 * seeds >= kSeedShare * area &&
                      static_cast<double>(total) >= kMeanLevel * scale * static_cast<double>(area);
    if (keep)
      found.push_back({run, RunFeatures(run, response, seed, seeds, grain, plane, dark)});
  }
  return found;
}

void MarkLineRuns(const std::vector<LineRun>& runs, double sensitivity, uint8_t* mask,
                  int32_t width, int32_t height) {
  const double needed = OddsNeeded(kLineProbability, sensitivity);
  std::vector<std::vector<size_t>> kept;
  for (const LineRun& run : runs) {
    if (!(LineRunLogOdds(run.features.data()) > needed)) continue;
    for (size_t i : run.pixels) mask[i] = 1;
    kept.push_back(run.pixels);
  }
  BridgeLineGaps(kept, width, height, mask);
}

}  // namespace pw::detect
