#include "detect/dust_region_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/dust_region_model.inc"
}  // namespace

double DustRegionLogOdds(const float* features) {
  return TreeLogOdds(kBaseline, kTreeRoots, kNodes, features);
}

}  // namespace pw::detect
