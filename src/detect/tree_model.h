// Gradient-boosted trees as the training scripts write them (bench/
// train_*_model.py): the log-odds of a yes are the baseline plus one leaf
// of each tree.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pw::detect {

// A split (feature >= 0: left when the feature is at most `value`) or a
// leaf (feature < 0: `value` is its share of the log-odds).
struct TreeNode {
  int16_t feature;
  uint32_t left, right;
  double value;
};

// The trees laid out complete to the depth of the deepest, in heap order,
// so that a feature vector walks each one without a branch to mispredict;
// a leaf above that depth stands for every leaf below it. The sum is taken
// in the trees' order, as the trainer's own: the same to the last bit.
class CompleteTrees {
 public:
  CompleteTrees(double baseline, const uint32_t* roots, size_t trees, const TreeNode* nodes);
  template <size_t Trees, size_t Nodes>
  CompleteTrees(double baseline, const uint32_t (&roots)[Trees], const TreeNode (&nodes)[Nodes])
      : CompleteTrees(baseline, roots, Trees, nodes) {}

  // The log-odds; or, when the first `check_after` trees leave them below
  // `give_up`, what they are then (the rest of the trees seldom lift a
  // pixel that far, and most of the pixels asked about are that clear).
  double LogOdds(const float* features, size_t check_after, double give_up) const;
  double LogOdds(const float* features) const { return LogOdds(features, trees_, 0); }

 private:
  double baseline_;
  size_t trees_ = 0;
  int depth_ = 0;
  // Per tree, its 2^depth - 1 splits: a split goes right unless the
  // feature is at most the threshold (so NaN goes right, as before).
  std::vector<uint16_t> feature_;
  std::vector<float> threshold_;
  std::vector<double> leaf_;  // per tree, its 2^depth leaves
};

// The log-odds a model must give at this probability, the odds divided by
// the sensitivity: above 1 takes fainter evidence, below 1 only the clearest.
inline double OddsNeeded(double probability, double sensitivity) {
  return std::log(probability / (1 - probability)) - std::log(sensitivity);
}

}  // namespace pw::detect
