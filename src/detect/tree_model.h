// Gradient-boosted trees as the training scripts write them (bench/
// train_*_model.py): the log-odds of a yes are the baseline plus one leaf
// of each tree.
#pragma once

#include <cmath>
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

// The log-odds; or, when the first `check_after` trees leave them below
// `give_up`, what they are then (the rest of the trees seldom lift a pixel
// that far, and most of the pixels asked about are that clear).
template <size_t Trees, size_t Nodes>
double TreeLogOdds(double baseline, const uint32_t (&roots)[Trees],
                   const TreeNode (&nodes)[Nodes], const float* features,
                   size_t check_after = Trees, double give_up = 0) {
  double odds = baseline;
  for (size_t t = 0; t < Trees; ++t) {
    if (t == check_after && odds < give_up) break;
    const TreeNode* n = &nodes[roots[t]];
    while (n->feature >= 0)
      n = &nodes[static_cast<double>(features[n->feature]) <= n->value ? n->left : n->right];
    odds += n->value;
  }
  return odds;
}

// The log-odds a model must give at this probability, the odds divided by
// the sensitivity: above 1 takes fainter evidence, below 1 only the clearest.
inline double OddsNeeded(double probability, double sensitivity) {
  return std::log(probability / (1 - probability)) - std::log(sensitivity);
}

}  // namespace pw::detect
