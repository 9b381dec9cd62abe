// The exhaustive method on the CPU: every known pixel whose window fits is
// scored against the target window, and the best one, chosen exactly as the
// GPU's single-block search chooses it, is copied into the target.
//
// For targets whose window lies inside the image (nearly all of them) the
// engine takes a faster road to the same choice: a per-pixel count of the
// unknown pixels in each window rejects candidates in O(1), the sums of
// absolute differences run on vector instructions, and a candidate stops
// being scored once its partial sum is strictly above the best complete sum
// seen so far: it can then neither win nor tie, so the winner, ties and slot
// order included, stays exactly the same.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "fill/cpu/box_sum_bound.h"
#include "fill/cpu/candidate_picks.h"
#include "fill/cpu/run_copy.h"
#include "fill/cpu/shared_loop.h"
#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/target_window.h"
#include "fill/cpu/thread_pool.h"
#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"

namespace pw {

class CpuExhaustiveEngine final : public CpuRunBuffers {
 public:
  CpuExhaustiveEngine(const EngineParams& params, int threads);
  ~CpuExhaustiveEngine() override;

  void Start(const uint8_t* image, const uint8_t* mask) override;
  void FillPixel(int32_t x, int32_t y) override;
  void FillReady(const std::vector<int32_t>& order, int32_t begin, int32_t end,
                 int32_t width, int32_t reach) override;
  void Release() noexcept override;

  // The best candidate of the last FillPixel call (-1 when none qualified).
  int32_t last_source() const { return searches_.empty() ? -1 : searches_[0]->last_source; }

  // Uses vector instructions up to this level (default: the active level).
  void set_simd_level(SimdLevel level) {
    window_sad_ = SelectWindowSad(level);
    row_scan_ = SelectRowScan(level);
    bound_.set_simd_level(level);
    pick_candidates_ = SelectPickCandidates(level);
  }

 private:
  // What the search of one target writes. Targets filled side by side each
  // have their own; search 0 also spreads one target's rows over the pool.
  struct Search {
    explicit Search(int chunks);
    std::vector<uint8_t> window;     // the staged target window
    std::vector<SlotMinimum> partial;  // one per chunk of rows
    // For targets near the border: a summed-area table of the pixels equal
    // to 1 over the candidates' windows (from table_x0, table_y0 on, rows
    // of table_stride), and per chunk the unknown pixels each candidate
    // faces.
    std::vector<int32_t> unknown_table;
    int table_x0 = 0, table_y0 = 0;
    size_t table_stride = 0;
    std::vector<std::vector<int32_t>> facing_unknown;
    std::vector<std::vector<int32_t>> lower_bounds;  // per chunk, of a row
    std::vector<std::vector<int32_t>> picks;         // per chunk, of a row
    std::vector<ScanTally> tallies;                  // per chunk
    TargetWindow target;
    RowRunBound runs;
    std::atomic<int32_t> bound{0};
    // Where the last target of this search found its source: a first bound
    // for the next one.
    int32_t last_source = -1;
    int32_t last_x = 0, last_y = 0;
    int worker = 0;  // the thread that uses it side by side
    // Side by side, the rows of its searches in chunks that an idle thread
    // may join.
    SharedLoop loop;
  };
  // Chunks of a search run side by side: enough that a thread that joins
  // midway still finds some.
  static constexpr int kJoinChunks = 8;

  // Fills (x, y) with search s; `spread` lets it share the pool.
  void Fill(Search& s, int32_t x, int32_t y, bool spread);
  // Scores the candidates of rows [row_begin, row_end) into `slots`.
  template <class Score>
  void ScoreRows(int row_begin, int row_end, int col_begin, int col_end,
                 const Score& score, SlotMinimum& slots) const;

  // The candidate search of one target; returns the winner or -1.
  int32_t SearchPruned(Search& s, int32_t x, int32_t y, bool spread, float* best);
  int32_t SearchGeneric(Search& s, int32_t x, int32_t y, bool spread, float* best);
  void InitUnknownCounts();
  // The summed-area table of the unknown pixels over the windows of the
  // candidates in `box`.
  void BuildUnknownTable(Search& s, const kernels::CandidateBox& box) const;
  static int32_t UnknownIn(const Search& s, int x0, int y0, int x1, int y1);
  // Per pixel, non-zero where no candidate may be centred: the mask itself,
  // or with a source mask, centre_blocked_.
  const uint8_t* CentreBlocked() const {
    return centre_blocked_.empty() ? mask_.data() : centre_blocked_.data();
  }
  void UpdateUnknownCounts(int32_t x, int32_t y);
  // Sum for candidate i against the captured target, with the bound.
  int32_t ScoreInterior(const Search& s, int32_t i, int32_t bound) const;

  int threads_;
  std::shared_ptr<ThreadPool> pool_;
  CropIndex crop_;
  std::vector<std::unique_ptr<Search>> searches_;  // [0]: spread, others: one each
  std::vector<int32_t> unknown_counts_;  // pixels equal to 1 in each window
  // The search domain; with a source mask, a copy of it and, per pixel,
  // whether its centre is barred (not known, or not allowed).
  kernels::SearchDomain domain_;
  std::vector<uint8_t> allowed_;
  std::vector<uint8_t> centre_blocked_;
  BoxSumBound bound_;
  WindowSadFn window_sad_ = nullptr;
  RowScanFn row_scan_ = nullptr;
  PickCandidatesFn pick_candidates_ = nullptr;
};

}  // namespace pw
