#include "detect/line_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/line_model.inc"
}  // namespace

double LineRunLogOdds(const float* features) {
  static const CompleteTrees trees(kBaseline, kTreeRoots, kNodes);
  return trees.LogOdds(features);
}

}  // namespace pw::detect
