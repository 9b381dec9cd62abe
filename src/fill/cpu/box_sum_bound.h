// The box-sum lower bound of an engine's searches (see box_sums.h), kept up
// to date with its fills, also while targets are filled side by side.
//
// Side by side, a fill's changes to the running sums (which reach far
// below it) wait until the stretch ends, as a search beside it may be
// reading them. Meanwhile the centres whose windows hold a pixel filled
// since are marked stale and get no bound (0). A search never needs
// another's fill that has not happened: every fill within reach of a
// target is one of its dependencies, done and marked before it starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "fill/cpu/bound_picks.h"
#include "fill/cpu/box_group_ranges.h"
#include "fill/cpu/box_sums.h"
#include "fill/cpu/candidate_picks.h"
#include "fill/cpu/cpu_features.h"
#include "fill/cpu/target_window.h"

namespace pw {

class BoxSumBound {
 public:
  BoxSumBound() { set_simd_level(ActiveSimdLevel()); }

  // Builds the sums where the image allows them: an optional speed-up,
  // without them (too large, or no memory) every bound is 0.
  void Init(const uint8_t* image, int width, int height, int stride, int radius,
            ThreadPool* pool = nullptr);
  void Release();
  bool ready() const { return sums_.ready(); }
  void set_simd_level(SimdLevel level) {
    row_bounds_ = SelectRowLowerBounds(level);
    bound_picks_ = SelectBoundPicks(level);
    pick_candidates_ = SelectPickCandidates(level);
  }

  // The runs of whole known rows of a captured target (none without sums).
  void Prepare(const TargetWindow& target, RowRunBound* runs) const {
    PrepareRowRunBound(target, sums_, runs);
  }
  // The bounds of the `count` centres of image row cy from column x0 on.
  // Needs runs.runs > 0.
  void Row(const RowRunBound& runs, int cy, int x0, int count, int32_t* out) const;
  // The picks of those centres (see candidate_picks.h) with their bounds:
  // lower[c] for each pick c. Needs runs.runs > 0. Rows of kGroupRowMin
  // centres or more go through group bounds (bound_picks.h).
  static constexpr int kGroupRowMin = 512;
  int Pick(const RowRunBound& runs, int cy, int x0, int count, const uint8_t* blocked,
           const int32_t* unknown, int32_t limit, int32_t* picks, int32_t* lower) const;

  // Up to `workers` threads fill targets side by side until EndSideBySide,
  // which applies the changes that waited (on the pool's threads, by
  // blocks of rows, when given a pool).
  void BeginSideBySide(int workers);
  void EndSideBySide(ThreadPool* pool = nullptr);
  // Pixel (x, y) changed from `before` to `after` (3 bytes each), filled by
  // `worker` when side by side.
  void Changed(int worker, int x, int y, const uint8_t* before, const uint8_t* after);

 private:
  // Rows of the map from row_begin to row_end - 1 only.
  void MarkStale(int x, int y, bool stale, int row_begin = 0, int row_end = INT32_MAX);
  // Marks the tiles that hold a centre whose window holds (x, y).
  void MarkStaleTiles(int x, int y);
  const BoxGroupRanges* Groups() const;
  // Starts the reads of the bounds and picks of image row cy.
  void PrefetchRow(const RowRunBound& runs, int cy, int x0, int count,
                   const uint8_t* blocked, const int32_t* unknown) const;
  // Brings the sums and the group ranges up to date with a change.
  void Apply(int x, int y, const uint8_t* before, const uint8_t* after);

  BoxSums sums_;
  // Where affordable, like the sums; made by Groups() when first needed.
  mutable BoxGroupRanges groups_;
  mutable std::atomic<bool> groups_made_{false};
  mutable std::mutex groups_lock_;
  int width_ = 0, height_ = 0, radius_ = 0;
  RowLowerBoundsFn row_bounds_ = nullptr;
  BoundPicksFn bound_picks_ = nullptr;
  PickCandidatesFn pick_candidates_ = nullptr;
  bool deferring_ = false;
  std::unique_ptr<std::atomic<uint64_t>[]> stale_;  // one bit per centre
  // One byte per tile of kTile x kTile centres, set while one of them may
  // be stale: a row of candidates far from the stretch's fills (most of
  // them) reads this small map alone, not the large one.
  static constexpr int kTile = 16;
  int tiles_x_ = 0;
  size_t tile_count_ = 0;
  std::unique_ptr<std::atomic<uint8_t>[]> stale_tiles_;
  struct Change {
    int32_t x, y;
    uint8_t before[3], after[3];
  };
  std::vector<std::vector<Change>> deferred_;  // per worker
};

}  // namespace pw
