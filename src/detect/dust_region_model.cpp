#include "detect/dust_region_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/dust_region_model.inc"
}  // namespace

double DustRegionLogOdds(const float* features) {
  static const CompleteTrees trees(kBaseline, kTreeRoots, kNodes);
  return trees.LogOdds(features);
}

}  // namespace pw::detect
