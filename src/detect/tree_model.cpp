#include "detect/tree_model.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace pw::detect {
namespace {

int Depth(const TreeNode* nodes, uint32_t at) {
  const TreeNode& n = nodes[at];
  return n.feature < 0 ? 0 : 1 + std::max(Depth(nodes, n.left), Depth(nodes, n.right));
}

// The largest float at most t: for any float x, x <= t exactly when x is
// at most it.
float FloatAtMost(double t) {
  float f = static_cast<float>(t);
  if (static_cast<double>(f) > t) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

}  // namespace

CompleteTrees::CompleteTrees(double baseline, const uint32_t* roots, size_t trees,
                             const TreeNode* nodes)
    : baseline_(baseline), trees_(trees) {
  for (size_t t = 0; t < trees; ++t) depth_ = std::max(depth_, Depth(nodes, roots[t]));
  const size_t splits = (size_t{1} << depth_) - 1, leaves = splits + 1;
  feature_.assign(trees * splits, 0);
  threshold_.assign(trees * splits, std::numeric_limits<float>::infinity());
  leaf_.assign(trees * leaves, 0.0);
  for (size_t t = 0; t < trees; ++t) {
    // (heap position, node) pairs, from the root down.
    std::vector<std::pair<size_t, uint32_t>> todo{{0, roots[t]}};
    while (!todo.empty()) {
      const auto [at, index] = todo.back();
      todo.pop_back();
      const TreeNode& n = nodes[index];
      if (n.feature >= 0) {
        feature_[t * splits + at] = static_cast<uint16_t>(n.feature);
        threshold_[t * splits + at] = FloatAtMost(n.value);
        todo.push_back({2 * at + 1, n.left});
        todo.push_back({2 * at + 2, n.right});
        continue;
      }
      // A leaf: every heap leaf below this position gets its value. The
      // splits in between keep threshold +inf and lead to the same value
      // on either side.
      size_t first = at, last = at;
      while (first < splits) first = 2 * first + 1, last = 2 * last + 2;
      for (size_t k = first; k <= last; ++k) leaf_[t * leaves + (k - splits)] = n.value;
    }
  }
}

double CompleteTrees::LogOdds(const float* features, size_t check_after, double give_up) const {
  const size_t splits = (size_t{1} << depth_) - 1;
  double odds = baseline_;
  const uint16_t* feature = feature_.data();
  const float* threshold = threshold_.data();
  const double* leaf = leaf_.data();
  for (size_t t = 0; t < trees_; ++t) {
    if (t == check_after && odds < give_up) break;
    size_t at = 0;
    for (int d = 0; d < depth_; ++d)
      at = 2 * at + 1 + static_cast<size_t>(!(features[feature[at]] <= threshold[at]));
    odds += leaf[at - splits];
    feature += splits, threshold += splits, leaf += splits + 1;
  }
  return odds;
}

}  // namespace pw::detect
