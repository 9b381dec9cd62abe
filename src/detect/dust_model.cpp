#include "detect/dust_model.h"

#include "detect/tree_model.h"

namespace pw::detect {
namespace {
#include "detect/dust_model.inc"
}  // namespace

double DustLogOdds(const float* features) {
  return TreeLogOdds(kBaseline, kTreeRoots, kNodes, features);
}

}  // namespace pw::detect
