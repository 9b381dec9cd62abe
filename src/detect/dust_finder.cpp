#include "detect/dust_finder.h"

#include "detect/dust_region_model.h"
#include "detect/dust_regions.h"
#include "detect/tree_model.h"

namespace pw::detect {
namespace {

// How sure the region model must be of a speck, at sensitivity 1;
// sensitivity s divides the odds needed by s.
constexpr double kKeepProbability = 0.5;

}  // namespace

void MarkDust(const PictureView& picture, const FindOptions& options, uint8_t* mask) {
  const double keep = OddsNeeded(kKeepProbability, options.sensitivity);
  for (const DustRegion& region : ProposeDustRegions(picture, options.max_speck))
    if (DustRegionLogOdds(region.features.data()) > keep)
      for (size_t i : region.marked) mask[i] = 1;
}

}  // namespace pw::detect
