#include "detect/dust_finder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "detect/dust_model.h"
#include "detect/soft_edge.h"
#include "detect/tree_model.h"
#include "detect/dust_features.h"

namespace pw::detect {
namespace {

// How sure the model must be of a speck's seed and of the pixels it grows
// over, at sensitivity 1; sensitivity s divides the odds needed by s.
constexpr double kSeedProbability = 0.9;
constexpr double kGrowProbability = 0.5;
// A speck's soft edge may reach this far beyond its diameter.
constexpr int32_t kSoftEdge = 4;

}  // namespace

void MarkDust(const PictureView& picture, const FindOptions& options, uint8_t* mask) {
  const int32_t w = picture.width, h = picture.height;
  const size_t n = static_cast<size_t>(w) * h;
  const SpeckPlanes planes = MakeSpeckPlanes(picture);
  const std::vector<uint8_t> pick = SpeckCandidates(planes);
  std::vector<uint8_t> core(n);
  for (size_t i = 0; i < n; ++i) core[i] = pick[i] == 2;

  const double seed = OddsNeeded(kSeedProbability, options.sensitivity);
  const double grow = OddsNeeded(kGrowProbability, options.sensitivity);
  // The model's log-odds at every core candidate now, at the others when
  // a growing speck reaches them (NaN until then).
  std::vector<float> odds(n, std::numeric_limits<float>::quiet_NaN());
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    ForSpeckFeatures(planes, y0, y1, core.data(), [&](size_t i, const float* f) {
      odds[i] = static_cast<float>(DustLogOdds(f, grow));
    });
  });
  const Probes probes(planes.luma.stride);
  auto odds_at = [&](size_t i) {
    if (std::isnan(odds[i])) {
      std::array<float, kSpeckFeatureCount> f;
      SpeckFeatures(planes, probes, static_cast<int32_t>(i % w), static_cast<int32_t>(i / w),
                    f.data());
      odds[i] = static_cast<float>(DustLogOdds(f.data(), grow));
    }
    return odds[i];
  };

  const int32_t widest = options.max_speck + kSoftEdge;
  std::vector<uint8_t> seen(n, 0);
  std::vector<size_t> speck;
  for (size_t start = 0; start < n; ++start) {
    if (seen[start] || !core[start] || !(odds[start] > seed)) continue;
    speck.assign(1, start);
    seen[start] = 1;
    int32_t x0 = w, x1 = -1, y0 = h, y1 = -1;
    for (size_t k = 0; k < speck.size(); ++k) {
      const auto x = static_cast<int32_t>(speck[k] % w), y = static_cast<int32_t>(speck[k] / w);
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      for (int32_t ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny)
        for (int32_t nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
          const size_t j = static_cast<size_t>(ny) * w + nx;
          if (seen[j] || !pick[j] || !(odds_at(j) > grow)) continue;
          seen[j] = 1;
          speck.push_back(j);
        }
    }
    if (x1 - x0 >= widest || y1 - y0 >= widest) continue;
    int64_t darker = 0;
    for (size_t i : speck) darker += int64_t{planes.blob.dark[i]} - planes.blob.bright[i];
    MarkToSoftEdge(planes.luma, speck, darker >= 0 ? 1 : -1, options.max_speck, mask);
  }
}

}  // namespace pw::detect
