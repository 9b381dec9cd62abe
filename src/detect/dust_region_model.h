// The dust region model: gradient-boosted trees, trained on synthetic
// specks over grainy photographs (bench/train_dust_region_model.py writes
// dust_region_model.inc), that tell from a proposed region's features how
// likely it is a speck and not the picture's own texture.
#pragma once

namespace pw::detect {

// The log-odds that the region with these features (kDustRegionFeatureCount
// of them) is a speck.
double DustRegionLogOdds(const float* features);

}  // namespace pw::detect
