// Dust proposed: regions of pixels the dust model finds likely, seeded by
// those it is fairly sure of, each with what a second model needs to judge
// it as a whole (its size and shape, how sure the pixel model was, its
// contrast against its background, how many like it are near).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "detect/find_damage.h"
#include "detect/dust_features.h"

namespace pw::detect {

constexpr int32_t kDustRegionShapeCount = 17;
// The region's own features, then the pixel features of its likeliest pixel.
constexpr int32_t kDustRegionFeatureCount = kDustRegionShapeCount + kSpeckFeatureCount;

struct DustRegion {
  std::vector<size_t> pixels;  // the region the pixel model grew
  std::vector<size_t> marked;  // out to its soft edge
  std::array<float, kDustRegionFeatureCount> features;
};

// The regions no wider than `max_speck` plus a soft edge, in raster order
// of their seeds. They do not depend on the sensitivity.
std::vector<DustRegion> ProposeDustRegions(const PictureView& picture, int32_t max_speck);

}  // namespace pw::detect
