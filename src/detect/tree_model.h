// Gradient-boosted trees as the training scripts write them (bench/
// train_*_model.py): the log-odds of a yes are the baseline plus one leaf
// of each tree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw::detect {

// A split (feature >= 0: left when the feature is at most `value`) or a
// leaf (feature < 0: `value` is its share of the log-odds).
struct TreeNode {
  int16_t feature;
  uint32_t left, right;
  double value;
};

template <size_t Trees, size_t Nodes>
double TreeLogOdds(double baseline, const uint32_t (&roots)[Trees],
                   const TreeNode (&nodes)[Nodes], const float* features) {
  double odds = baseline;
  for (uint32_t root : roots) {
    const TreeNode* n = &nodes[root];
    while (n->feature >= 0)
      n = &nodes[static_cast<double>(features[n->feature]) <= n->value ? n->left : n->right];
    odds += n->value;
  }
  return odds;
}

}  // namespace pw::detect
