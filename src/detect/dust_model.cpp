#include "detect/dust_model.h"

#include <cstdint>

namespace pw::detect {
namespace {

// A split (feature >= 0: left when the feature is at most `value`) or a
// leaf (feature < 0: `value` is its share of the log-odds).
struct Node {
  int16_t feature;
  uint32_t left, right;
  double value;
};

#include "detect/dust_model.inc"

}  // namespace

double DustLogOdds(const float* features) {
  double odds = kBaseline;
  for (uint32_t root : kTreeRoots) {
    const Node* n = &kNodes[root];
    while (n->feature >= 0)
      n = &kNodes[static_cast<double>(features[n->feature]) <= n->value ? n->left : n->right];
    odds += n->value;
  }
  return odds;
}

}  // namespace pw::detect
