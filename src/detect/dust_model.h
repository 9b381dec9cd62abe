// The dust model: gradient-boosted trees, trained on synthetic specks over
// grainy photographs (bench/train_dust_model.py writes dust_model.inc), that
// tell from a pixel's features how likely a speck covers it.
#pragma once

namespace pw::detect {

// The log-odds that a speck covers the pixel with these features
// (kSpeckFeatureCount of them), where they are above `floor`; below it,
// some value below it.
double DustLogOdds(const float* features, double floor);

}  // namespace pw::detect
