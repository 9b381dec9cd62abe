// The line model: gradient-boosted trees, trained on synthetic scratches
// and fibres over grainy photographs (bench/train_line_model.py writes
// line_model.inc), that tell from what a run of line pixels looks like
// whether it is a scratch or fibre or the picture's own thin detail.
#pragma once

namespace pw::detect {

// The log-odds that a run with these features (kLineRunFeatureCount of
// them) is damage.
double LineRunLogOdds(const float* features);

}  // namespace pw::detect
