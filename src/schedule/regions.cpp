#include "schedule/regions.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <numeric>

namespace pw {
namespace {

// Targets grouped on a grid of cells of side reach + 1: two targets within
// reach of each other lie in the same cell or in neighbouring ones.
class CellGrid {
 public:
  CellGrid(const int32_t* order, int32_t count, int32_t width, int32_t reach)
      : width_(width), side_(static_cast<int64_t>(reach) + 1),
        columns_((width + side_ - 1) / side_ + 2) {
    cells_.reserve(static_cast<size_t>(count));
    for (int32_t k = 0; k < count; ++k) cells_.push_back(CellOf(order[k]));
    std::sort(cells_.begin(), cells_.end());
    cells_.erase(std::unique(cells_.begin(), cells_.end()), cells_.end());
  }

  size_t size() const { return cells_.size(); }
  const std::vector<int64_t>& cells() const { return cells_; }

  // Number of the cell of pixel index p (columns shifted by one, so that a
  // neighbour to the left never wraps to the row above).
  int64_t CellOf(int32_t p) const {
    return (p / width_) / side_ * columns_ + (p % width_) / side_ + 1;
  }
  // The slot of a cell in cells(), or -1 when no target lies in it.
  int64_t Find(int64_t cell) const {
    auto at = std::lower_bound(cells_.begin(), cells_.end(), cell);
    return at != cells_.end() && *at == cell ? at - cells_.begin() : -1;
  }
  // The slots of the occupied cells around `cell` (itself included).
  template <class Visit>
  void ForNeighbours(int64_t cell, const Visit& visit) const {
    for (int64_t dy = -1; dy <= 1; ++dy)
      for (int64_t dx = -1; dx <= 1; ++dx) {
        const int64_t slot = Find(cell + dy * columns_ + dx);
        if (slot >= 0) visit(slot);
      }
  }

 private:
  int32_t width_;
  int64_t side_, columns_;
  std::vector<int64_t> cells_;  // occupied, sorted
};

int64_t Root(std::vector<int64_t>& parent, int64_t a) {
  while (parent[a] != a) a = parent[a] = parent[parent[a]];
  return a;
}

}  // namespace

std::vector<FillRegion> SplitIntoRegions(const std::vector<int32_t>& order,
                                         int32_t width, int32_t height,
                                         int32_t reach) {
  std::vector<FillRegion> regions;
  if (order.empty()) return regions;
  const int32_t count = static_cast<int32_t>(order.size());
  const CellGrid grid(order.data(), count, width, reach);
  std::vector<int64_t> parent(grid.size());
  std::iota(parent.begin(), parent.end(), int64_t{0});
  for (size_t slot = 0; slot < grid.size(); ++slot)
    grid.ForNeighbours(grid.cells()[slot], [&](int64_t other) {
      const int64_t a = Root(parent, static_cast<int64_t>(slot)), b = Root(parent, other);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    });
  // Region numbers in the order of each region's first target.
  std::vector<int32_t> number(grid.size(), -1);
  for (int32_t k = 0; k < count; ++k) {
    const int32_t p = order[k];
    const int64_t root = Root(parent, grid.Find(grid.CellOf(p)));
    if (number[root] < 0) {
      number[root] = static_cast<int32_t>(regions.size());
      regions.push_back(FillRegion{{p % width, p / width, p % width + 1, p / width + 1}, {}});
    }
    FillRegion& region = regions[number[root]];
    region.order.push_back(p);
    PixelBox& b = region.box;
    b.x0 = std::min(b.x0, p % width);
    b.x1 = std::max(b.x1, p % width + 1);
    b.y0 = std::min(b.y0, p / width);
    b.y1 = std::max(b.y1, p / width + 1);
  }
  for (FillRegion& region : regions) {
    PixelBox& b = region.box;
    b.x0 = std::max(0, b.x0 - reach);
    b.y0 = std::max(0, b.y0 - reach);
    b.x1 = static_cast<int32_t>(std::min<int64_t>(width, int64_t{b.x1} + reach));
    b.y1 = static_cast<int32_t>(std::min<int64_t>(height, int64_t{b.y1} + reach));
  }
  return regions;
}

int32_t DependencyChainBound(const int32_t* order, int32_t count, int32_t width,
                             int32_t reach) {
  const CellGrid grid(order, count, width, reach);
  // The longest chain ending at a target is one more than the longest
  // ending in any neighbouring cell so far.
  std::vector<int32_t> level(grid.size(), 0);
  int32_t longest = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int64_t cell = grid.CellOf(order[k]);
    int32_t chain = 0;
    grid.ForNeighbours(cell, [&](int64_t slot) { chain = std::max(chain, level[slot]); });
    level[grid.Find(cell)] = chain + 1;
    longest = std::max(longest, chain + 1);
  }
  return longest;
}

std::vector<int32_t> ReadyBatches(const int32_t* order, int32_t begin, int32_t end,
                                  int32_t width, int32_t reach,
                                  std::vector<int32_t>* starts) {
  const int32_t count = std::max(0, end - begin);
  order += begin;
  const CellGrid grid(order, count, width, reach);
  // A target's batch is one past the latest batch of its neighbouring
  // cells so far: the longest chain of dependencies ending at it.
  std::vector<int32_t> latest(grid.size(), -1), batch(static_cast<size_t>(count));
  int32_t batches = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int64_t cell = grid.CellOf(order[k]);
    int32_t after = -1;
    grid.ForNeighbours(cell, [&](int64_t slot) { after = std::max(after, latest[slot]); });
    batch[k] = after + 1;
    latest[grid.Find(cell)] = after + 1;
    batches = std::max(batches, after + 2);
  }
  // Counting sort by batch keeps fill order within each batch.
  starts->assign(static_cast<size_t>(batches) + 1, 0);
  for (int32_t k = 0; k < count; ++k) ++(*starts)[batch[k] + 1];
  std::partial_sum(starts->begin(), starts->end(), starts->begin());
  std::vector<int32_t> next(starts->begin(), starts->end() - 1);
  std::vector<int32_t> targets(static_cast<size_t>(count));
  for (int32_t k = 0; k < count; ++k) targets[next[batch[k]]++] = order[k];
  return targets;
}

ReadyTargets::ReadyTargets(const int32_t* order, int32_t begin, int32_t end,
                           int32_t width, int32_t reach, int32_t lookahead)
    : end_(end), reach_(reach),
      lookahead_(std::max(1, lookahead)), first_open_(begin),
      state_(static_cast<size_t>(std::max(0, end - begin)), 0), begin_(begin),
      untaken_(std::max(0, end - begin)) {
  // Columns and rows once: Near runs under the lock, many times per Take.
  at_.reserve(state_.size());
  for (int32_t p = begin; p < end; ++p) at_.push_back({order[p] % width, order[p] / width});
}

bool ReadyTargets::Near(int32_t a, int32_t b) const {
  const Position& p = at_[static_cast<size_t>(a - begin_)];
  const Position& q = at_[static_cast<size_t>(b - begin_)];
  return std::abs(p.x - q.x) <= reach_ && std::abs(p.y - q.y) <= reach_;
}

int32_t ReadyTargets::FindReady() {
  pending_.clear();
  const int32_t limit = static_cast<int32_t>(
      std::min<int64_t>(end_, int64_t{first_open_} + lookahead_));
  for (int32_t p = first_open_; p < limit; ++p) {
    const uint8_t state = state_[p - begin_];
    if (state == kDone) continue;
    if (state == kOpen &&
        std::none_of(pending_.begin(), pending_.end(),
                     [&](int32_t q) { return Near(q, p); })) {
      state_[p - begin_] = kTaken;
      --untaken_;
      return p;
    }
    pending_.push_back(p);
  }
  return -1;
}

int32_t ReadyTargets::Take() {
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    if (stopped_ || untaken_ == 0) return -1;
    const int32_t p = FindReady();
    if (p >= 0) return p;
    changed_.wait(guard);
  }
}

namespace {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

int32_t ReadyTargets::Take(const std::function<bool()>& help, bool spin) {
  // How long a thread with nothing to do polls, and then sleeps at most
  // before it polls again: the work it may help with is not announced.
  constexpr auto kSpin = std::chrono::microseconds(50);
  constexpr auto kNap = std::chrono::microseconds(200);
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    if (stopped_ || untaken_ == 0) return -1;
    const int32_t p = FindReady();
    if (p >= 0) return p;
    const uint64_t seen = changes_.load(std::memory_order_relaxed);
    guard.unlock();
    bool helped = help();
    if (spin) {
      const auto until = std::chrono::steady_clock::now() + kSpin;
      for (int i = 1; !helped && changes_.load(std::memory_order_acquire) == seen; ++i) {
        // The clock costs more than a look: read it now and then.
        if ((i & 63) == 0 && std::chrono::steady_clock::now() > until) break;
        CpuRelax();
        helped = help();
      }
    }
    guard.lock();
    if (!helped)
      changed_.wait_for(guard, kNap, [&] {
        return stopped_ || changes_.load(std::memory_order_relaxed) != seen;
      });
  }
}

void ReadyTargets::Done(int32_t position) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    changes_.fetch_add(1, std::memory_order_release);
    state_[position - begin_] = kDone;
    while (first_open_ < end_ && state_[first_open_ - begin_] == kDone) ++first_open_;
  }
  changed_.notify_all();
}

void ReadyTargets::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    changes_.fetch_add(1, std::memory_order_release);
  }
  changed_.notify_all();
}

}  // namespace pw
