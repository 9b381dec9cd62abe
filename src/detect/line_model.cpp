#include "detect/line_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/line_model.inc"
}  // namespace

double LineRunLogOdds(const float* features) {
  return TreeLogOdds(kBaseline, kTreeRoots, kNodes, features);
}

}  // namespace pw::detect
