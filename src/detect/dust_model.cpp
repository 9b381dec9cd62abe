#include "detect/dust_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/dust_model.inc"
}  // namespace

// After the first 20 trees, a pixel 3 below the floor is given up: on the
// training pixels, 3 in 4 candidates go then, and 1 in 600 of those the
// whole model would have taken.
double DustLogOdds(const float* features, double floor) {
  return TreeLogOdds(kBaseline, kTreeRoots, kNodes, features, 20, floor - 3);
}

}  // namespace pw::detect
